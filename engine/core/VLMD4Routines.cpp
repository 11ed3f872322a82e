#include "engine/core/VLMD4Routines.h"

#include <bit>
#include <cmath>

#include "engine/core/VLMExcept.h"
#include "platform/host/HostVariant.h"
#include "platform/host/SysUtils.h"

namespace {

constexpr long double kTwoPow63 = 9223372036854775808.0L;
constexpr uint16_t kMissingPart = 65535;

qv::HostVariant arrayElement(const qv::HostVariant& a, const std::vector<int32_t>& indices) {
  if (!a.IsArray()) throw EVLMException(10433, "Not a variant array");
  const int32_t dimCount = a.ArrayDimCount();
  const auto indexCount = static_cast<int32_t>(indices.size());
  if (dimCount != indexCount)
    throw EVLMException(10435, "Invalid variant array bounds. DimCount = %d, IndexCount = %d",
                        {dimCount, indexCount});
  try {
    return a.GetElement(indices);
  } catch (const qv::EVariantError&) {
    const bool ofVariants = (a.VarType() & qv::varTypeMask) == qv::varVariant;
    throw EVLMException(ofVariants ? 10436 : 10438,
                        "Invalid variant array bounds. DimCount = %d, IndexCount = %d",
                        {dimCount, indexCount});
  }
}

std::string partText(uint16_t part) { return part == kMissingPart ? std::string("?") : qv::IntToStr(part); }

// Joins a date and a time of day the host's way: before 1899-12-30 the time
// still counts forward from that day's midnight.
double joinDateTime(double date, double time) { return date < 0 ? date - time : date + time; }

}  // namespace

qv::HostVariant VLMVarArrayGet(const qv::HostVariant& A, std::initializer_list<int32_t> Indices) {
  return arrayElement(A, std::vector<int32_t>(Indices));
}

qv::HostVariant VLMVarArrayGetByIndices(const qv::HostVariant& A, const std::vector<int32_t>& Indices) {
  return arrayElement(A, Indices);
}

bool VLMTryFloatToCurr(double Value, int64_t& C) {
  // The range is tested on the rounded extended value itself: in double,
  // 2^63-1 rounds up to 2^63 and would let an amount through that no 64-bit
  // integer holds.
  const long double scaled = std::nearbyint(static_cast<long double>(Value) * 10000.0L);
  if (!(scaled > -kTwoPow63 && scaled < kTwoPow63)) return false;
  C = static_cast<int64_t>(scaled);
  return true;
}

int64_t VLMFloatToCurr(double Value) {
  int64_t c = 0;
  if (!VLMTryFloatToCurr(Value, c))
    throw EVLMException(10439, "'%s' is not a valid currency value", {qv::FloatToStr(Value)});
  return c;
}

std::string VLMBoolToStr(bool B, bool UseBoolStrs) {
  if (UseBoolStrs) return B ? "True" : "False";
  return B ? "-1" : "0";
}

int32_t VLMSign(double Value) {
  const auto bits = std::bit_cast<uint64_t>(Value);
  constexpr uint64_t kSignBit = 0x8000000000000000ull;
  if ((bits & ~kSignBit) == 0) return 0;
  return (bits & kSignBit) == 0 ? 1 : -1;
}

bool VLMTryEncodeDate(uint16_t Year, uint16_t Month, uint16_t Day, double& Date) {
  return qv::TryEncodeDate(Year, Month, Day, Date);
}

bool VLMTryEncodeTime(uint16_t Hour, uint16_t Min, uint16_t Sec, uint16_t MSec, double& Time) {
  return qv::TryEncodeTime(Hour, Min, Sec, MSec, Time);
}

bool VLMTryEncodeDateTime(uint16_t Year, uint16_t Month, uint16_t Day, uint16_t Hour, uint16_t Min,
                          uint16_t Sec, uint16_t MSec, double& Value) {
  double date = 0, time = 0;
  if (!VLMTryEncodeDate(Year, Month, Day, date) || !VLMTryEncodeTime(Hour, Min, Sec, MSec, time)) return false;
  Value = joinDateTime(date, time);
  return true;
}

double VLMEncodeDateTime(uint16_t Year, uint16_t Month, uint16_t Day, uint16_t Hour, uint16_t Min,
                         uint16_t Sec, uint16_t MSec) {
  double v = 0;
  if (VLMTryEncodeDateTime(Year, Month, Day, Hour, Min, Sec, MSec, v)) return v;
  using FS = qv::FormatSettings;
  std::string parts = partText(Year) + FS::DateSeparator + partText(Month) + FS::DateSeparator + partText(Day) +
                      ' ' + partText(Hour) + FS::TimeSeparator + partText(Min) + FS::TimeSeparator +
                      partText(Sec) + FS::DecimalSeparator + partText(MSec);
  throw qv::EConvertError("''" + parts + "'' is not a valid date and time");
}
