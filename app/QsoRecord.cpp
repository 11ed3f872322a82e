#include "app/QsoRecord.h"

#include <type_traits>

#include "platform/dataset/DataSet.h"
#include "platform/dataset/Fields.h"

namespace qv::app {

// The order in which a new contact's fields are set (Points last: it is
// computed from the others).
const std::array<std::string_view, kQsoTextFieldCount> kQsoTextFields = {
    "QSODate", "Mode",  "Freq",  "TimeStart", "Call",     "RSTSent",  "NumSent",       "RSTRcvd",
    "NumRcvd", "Country", "Continent", "Name", "LastName", "TimeEnd", "City",          "State",
    "Notes",   "COUNTY", "CQZ",  "GRID",      "ITUZ",     "FISTS",    "IOTA",          "OOTC",
    "TENTEN",  "QCWA",  "DXCC",  "CLASSLIC",  "BMCODE",   "STREET",   "PREFIXCOUNTRY", "POSTCODE",
    "LAT",     "LONG",  "EMAIL", "QSLMGR",    "URL",      "Points"};

const std::array<std::string_view, kQsoBoolFieldCount> kQsoBoolFields = {"IBM", "QSLS", "EQSLSent", "LOTWSent"};

namespace {

// The members in the order of kQsoTextFields / kQsoBoolFields (const or not
// as the record is).
template <class Q>
using MemberPtr = std::conditional_t<std::is_const_v<Q>, const std::string*, std::string*>;
template <class Q>
using FlagPtr = std::conditional_t<std::is_const_v<Q>, const bool*, bool*>;

template <class Q>
std::array<MemberPtr<Q>, kQsoTextFieldCount> TextMembers(Q& q) {
  return {&q.QSODate, &q.Mode,    &q.Freq,   &q.TimeStart, &q.Call,     &q.RSTSent, &q.NumSent,
          &q.RSTRcvd, &q.NumRcvd, &q.Country, &q.Continent, &q.Name,    &q.LastName, &q.TimeEnd,
          &q.City,    &q.State,   &q.Notes,  &q.COUNTY,    &q.CQZ,      &q.GRID,    &q.ITUZ,
          &q.FISTS,   &q.IOTA,    &q.OOTC,   &q.TENTEN,    &q.QCWA,     &q.DXCC,    &q.CLASSLIC,
          &q.BMCODE,  &q.STREET,  &q.PREFIXCOUNTRY, &q.POSTCODE, &q.LAT, &q.LONG,   &q.EMAIL,
          &q.QSLMGR,  &q.URL,     &q.Points};
}

template <class Q>
std::array<FlagPtr<Q>, kQsoBoolFieldCount> BoolMembers(Q& q) {
  return {&q.IBM, &q.QSLS, &q.EQSLSent, &q.LOTWSent};
}

}  // namespace

QsoReader::QsoReader(DataSet& log) {
  for (size_t i = 0; i < Text_.size(); ++i) Text_[i] = log.FieldByName(kQsoTextFields[i]);
  for (size_t i = 0; i < Bool_.size(); ++i) Bool_[i] = log.FieldByName(kQsoBoolFields[i]);
}

void QsoReader::Read(QsoRecord& qso) const {
  auto text = TextMembers(qso);
  for (size_t i = 0; i < Text_.size(); ++i) *text[i] = Text_[i]->AsString();
  auto flags = BoolMembers(qso);
  for (size_t i = 0; i < Bool_.size(); ++i) *flags[i] = Bool_[i]->AsBoolean();
}

void WriteQso(DataSet& log, const QsoRecord& qso) {
  auto text = TextMembers(qso);
  for (size_t i = 0; i < text.size(); ++i) log.FieldByName(kQsoTextFields[i])->SetAsString(*text[i]);
  auto flags = BoolMembers(qso);
  for (size_t i = 0; i < flags.size(); ++i) log.FieldByName(kQsoBoolFields[i])->SetAsBoolean(*flags[i]);
}

}  // namespace qv::app
