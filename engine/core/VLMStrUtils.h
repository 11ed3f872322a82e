// The engine's wide-text entry points: collation comparison and upper/lower
// case of UTF-16 text.
//
// They sit on the fixed collation and case tables of platform/os, never on
// the environment's locale: text order is part of the file format, and the
// same text must compare and case-convert alike on every machine. The
// comparison keeps the shape of the operating-system call the engine was
// designed around (locale, flags, two counted texts; 1 less, 2 equal,
// 3 greater, 0 failure), so callers keep their failure path.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <string>
#include <string_view>

// Comparison flags the entry point accepts.
inline constexpr uint32_t VLM_NORM_IGNORECASE = 0x00000001;
inline constexpr uint32_t VLM_SORT_STRINGSORT = 0x00001000;
// The locale number the engine passes (the user's default); the fixed
// collation takes the same order for every locale number.
inline constexpr uint32_t VLM_LOCALE_USER_DEFAULT = 0x0400;

// Results of VLMCompareStringW.
inline constexpr int32_t VLM_CSTR_LESS_THAN = 1;
inline constexpr int32_t VLM_CSTR_EQUAL = 2;
inline constexpr int32_t VLM_CSTR_GREATER_THAN = 3;

// Compares two UTF-16 texts by the fixed collation. A length of -1 means the
// text ends at its first zero; otherwise exactly that many units are read.
// Returns 0 (failure) for a null text with a length other than 0, a length
// below -1, or a flag other than the two above.
int32_t VLMCompareStringW(uint32_t Locale, uint32_t Flags, const char16_t* S1, int32_t Len1,
                          const char16_t* S2, int32_t Len2);

// Start-up of the text routines. The entry points above are bound at build
// time to the fixed tables, so there is nothing left to look up; kept so that
// engine start-up has one call for every unit that has one.
void VLMInitStrUtils();

// Upper- and lower-cased copies by the simple (one to one) Unicode mapping.
std::u16string VLMWideUpperCase(std::u16string_view S);
std::u16string VLMWideLowerCase(std::u16string_view S);
