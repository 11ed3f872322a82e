#include "engine/core/VLMStrUtils.h"

#include "platform/os/Collation.h"

namespace {

bool countedText(const char16_t* s, int32_t len, std::u16string_view& out) {
  if (len < -1) return false;
  if (len == -1) {
    if (s == nullptr) return false;
    out = std::u16string_view(s);
    return true;
  }
  if (len > 0 && s == nullptr) return false;
  out = len == 0 ? std::u16string_view() : std::u16string_view(s, static_cast<size_t>(len));
  return true;
}

}  // namespace

int32_t VLMCompareStringW(uint32_t Locale, uint32_t Flags, const char16_t* S1, int32_t Len1,
                          const char16_t* S2, int32_t Len2) {
  (void)Locale;
  if ((Flags & ~(VLM_NORM_IGNORECASE | VLM_SORT_STRINGSORT)) != 0) return 0;
  std::u16string_view a, b;
  if (!countedText(S1, Len1, a) || !countedText(S2, Len2, b)) return 0;
  const int c = qv::CompareTextWide(a, b, (Flags & VLM_NORM_IGNORECASE) != 0);
  return c < 0 ? VLM_CSTR_LESS_THAN : (c == 0 ? VLM_CSTR_EQUAL : VLM_CSTR_GREATER_THAN);
}

void VLMInitStrUtils() {}

std::u16string VLMWideUpperCase(std::u16string_view S) { return qv::UpperCaseWide(S); }

std::u16string VLMWideLowerCase(std::u16string_view S) { return qv::LowerCaseWide(S); }
