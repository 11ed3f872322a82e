// The fixed text collation and case rules of the system. Text order is part of
// the database file format (B-tree keys), so it never depends on the
// environment's locale: the weights are a committed table made once from ICU's
// root collation (tools/collation/gen_collation.cpp).
//
// Order: three levels, compared over the whole strings one level at a time:
//   1. base letter (primary): a < b, '-' < 'o', '1' < '5', é ~ e < f;
//   2. accent (secondary): e < é;
//   3. case and other variants (tertiary): lower before upper.
// So "abc" < "ABC" < "abd", "co-op" < "coop", "10" < "5". A string that is a
// prefix of another at a level sorts first. Case-insensitive comparison stops
// after level 2. Characters the root collation ignores (most control
// characters) weigh nothing at any level.
//
// Coverage: U+0000-U+052F (Latin, IPA, modifiers, combining marks, Greek,
// Cyrillic), U+1E00-U+1FFF, U+2000-U+20CF, U+2100-U+218F (all of 1252 among
// them) carry their ICU weights. Every other code point sorts after all of
// those, by the code point of its simple lower case, with upper case (of a
// character that has a lower case) after lower case at level 3. Wide text is
// read as UTF-16 (surrogate pairs as one code point; an unpaired surrogate as
// its own value).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

// CompareStringA-like / CompareStringW-like: < 0, 0 or > 0. 8-bit text is 1252.
int CompareText1252(std::string_view a, std::string_view b, bool ignoreCase);
int CompareTextWide(std::u16string_view a, std::u16string_view b, bool ignoreCase);

// The first `weights` base-letter (level-1) weights of two texts, compared
// as sequences (one that begins the other first): < 0, 0 or > 0. The
// comparison above, with or without case, never contradicts a non-zero
// result, for it orders by these weights first. For ordering texts of which
// only a beginning is known (the prefix an index key keeps): what follows a
// text can change only the weights of its last character (a letter the next
// one joins into another, half a surrogate pair) and add weights after them,
// so while the first `weights` weights of a beginning come from the
// characters before its last one, they are those of every text it begins.
int CompareBaseLetters1252(std::string_view a, std::string_view b, size_t weights);
int CompareBaseLettersWide(std::u16string_view a, std::u16string_view b, size_t weights);

// Sort keys: byte strings whose plain byte order (std::string::compare) is the
// order of the comparison above with the same ignoreCase, equal exactly when
// the texts compare equal. They are independent of byte order and machine.
std::string SortKey1252(std::string_view text, bool ignoreCase);
std::string SortKeyWide(std::u16string_view text, bool ignoreCase);

// Case of 8-bit text by the 1252 table: à <-> À, š <-> Š, œ <-> Œ, ž <-> Ž,
// ÿ <-> Ÿ (0x9F); µ and ß have no upper case in 1252 and stay.
char UpperChar1252(char c);
char LowerChar1252(char c);
std::string UpperCase1252(std::string_view text);
std::string LowerCase1252(std::string_view text);

// Case of wide text by the simple (one to one) Unicode mapping.
char32_t UpperCharWide(char32_t c);
char32_t LowerCharWide(char32_t c);
std::u16string UpperCaseWide(std::u16string_view text);
std::u16string LowerCaseWide(std::u16string_view text);

}  // namespace qv
