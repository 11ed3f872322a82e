// Small routines the engine needs beside the host library: element of a
// variant array, float to currency, Boolean text, sign, date/time encoding
// with range checks, and freeing an object through its variable.
//
// Date-times are the host's: a double of days since 1899-12-30 with the time
// as the fraction. Before 1899-12-30 the time counts forward from the day's
// midnight as in the host library (1899-12-29 06:00 is -1.25), so that every
// part of the system reads and writes such values alike.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace qv {
class HostVariant;
}

// The element of a variant array at the given indices (one per dimension).
// 10433 "Not a variant array" when A is no array; 10435 "Invalid variant
// array bounds. DimCount = %d, IndexCount = %d" when the number of indices is
// not the dimension count; an index outside its bounds raises the same text
// with 10436 (array of variants) or 10438 (array of another element type).
qv::HostVariant VLMVarArrayGet(const qv::HostVariant& A, std::initializer_list<int32_t> Indices);
// The same, with the indices in a list.
qv::HostVariant VLMVarArrayGetByIndices(const qv::HostVariant& A, const std::vector<int32_t>& Indices);

// Value times 10000 rounded to nearest (ties to even): a currency in units of
// 1/10000. False, and C untouched, unless the rounded amount lies within
// -(2^63-1) .. 2^63-1; the test is made exactly on the rounded amount.
bool VLMTryFloatToCurr(double Value, int64_t& C);
// The same; failure raises 10439 "'%s' is not a valid currency value".
int64_t VLMFloatToCurr(double Value);

// "True"/"False" with UseBoolStrs, else "-1"/"0".
std::string VLMBoolToStr(bool B, bool UseBoolStrs = false);

// 0 when every bit but the sign is clear (so -0.0 gives 0), 1 when the sign
// bit is clear, -1 otherwise (NaNs included, by their sign bit).
int32_t VLMSign(double Value);

// Year 1-9999, month 1-12, day within the month (Gregorian leap years):
// Date = days since 0001-01-01 (day 1) less 693594.
bool VLMTryEncodeDate(uint16_t Year, uint16_t Month, uint16_t Day, double& Date);
// Hour < 24, minute < 60, second < 60, millisecond < 1000:
// Time = milliseconds of the day / 86400000.
bool VLMTryEncodeTime(uint16_t Hour, uint16_t Min, uint16_t Sec, uint16_t MSec, double& Time);
// Both; the time is added to the date (subtracted before 1899-12-30).
bool VLMTryEncodeDateTime(uint16_t Year, uint16_t Month, uint16_t Day, uint16_t Hour, uint16_t Min,
                          uint16_t Sec, uint16_t MSec, double& Value);
// The same; failure raises qv::EConvertError "''%s'' is not a valid date and
// time" with the parts as "Y-M-D H:N:S.MS" (a part of 65535, meaning missing,
// shows as "?").
double VLMEncodeDateTime(uint16_t Year, uint16_t Month, uint16_t Day, uint16_t Hour, uint16_t Min,
                         uint16_t Sec, uint16_t MSec);

// Clears the variable first, then frees the object it held, so the variable
// never points at a dead object (not even while its destructor runs).
template <class T>
void VLMFreeAndNil(T*& Var) {
  T* object = Var;
  Var = nullptr;
  delete object;
}
template <class T>
void VLMFreeAndNil(std::unique_ptr<T>& Var) {
  std::unique_ptr<T> object(Var.release());
  object.reset();
}
