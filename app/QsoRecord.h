// One contact of the log: a record of the table "V5LogTabl". Every field holds
// 8-bit text except the four Booleans IBM, QSLS, EQSLSent and LOTWSent. Field
// names are matched without regard to case.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace qv {
class DataSet;
class Field;
}  // namespace qv

namespace qv::app {

struct QsoRecord {
  std::string QSODate;    // "yyyy-mm-dd"
  std::string TimeStart;  // "hhnn" UTC
  std::string TimeEnd;
  std::string Call;       // capitals; zeros as typed (0xD8 when slashed)
  std::string Freq;       // band or frequency in MHz
  std::string Mode;
  std::string RSTSent;    // report (with own zone in "WWDX")
  std::string NumSent;    // own serial as shown (" 001" or "1")
  std::string RSTRcvd;
  std::string NumRcvd;
  std::string Country;
  std::string Continent;
  bool IBM = false;       // member station of the IBM QSO Party
  std::string Name;
  std::string LastName;
  std::string City;
  std::string State;
  std::string Notes;
  std::string Points;     // "5", "2", "1" in the IBM QSO Party, else empty
  std::string COUNTY;
  std::string CQZ;
  std::string GRID;
  std::string ITUZ;
  std::string FISTS;
  std::string IOTA;
  std::string OOTC;
  std::string TENTEN;
  std::string QCWA;
  std::string DXCC;
  std::string CLASSLIC;
  std::string BMCODE;
  std::string STREET;
  std::string PREFIXCOUNTRY;
  std::string POSTCODE;
  std::string LAT;
  std::string LONG;
  std::string EMAIL;
  std::string QSLMGR;
  std::string URL;
  bool QSLS = false;
  bool EQSLSent = false;
  bool LOTWSent = false;

  bool operator==(const QsoRecord&) const = default;
};

// The text fields in the order a new record is filled, and the Booleans.
inline constexpr int32_t kQsoTextFieldCount = 38;
inline constexpr int32_t kQsoBoolFieldCount = 4;
extern const std::array<std::string_view, kQsoTextFieldCount> kQsoTextFields;
extern const std::array<std::string_view, kQsoBoolFieldCount> kQsoBoolFields;

// Reads whole records of an open log dataset; binds the fields once, so a
// walk over a long log does no name look-ups per record. A field missing from
// the dataset raises the dataset's field-not-found error at Bind.
class QsoReader {
public:
  explicit QsoReader(DataSet& log);
  // The current record.
  void Read(QsoRecord& qso) const;
  QsoRecord Read() const {
    QsoRecord q;
    Read(q);
    return q;
  }

private:
  std::array<Field*, kQsoTextFieldCount> Text_{};
  std::array<Field*, kQsoBoolFieldCount> Bool_{};
};

// Sets every field of the record being edited or appended, texts first in the
// fill order of a new contact, then the Booleans.
void WriteQso(DataSet& log, const QsoRecord& qso);

}  // namespace qv::app
