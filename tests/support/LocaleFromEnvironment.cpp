// The program runs in the user's locale (the GUI library adopts it at start),
// so the tests do too: CI runs them under several LC_ALL values to show that
// no result depends on it.
#include <clocale>

namespace {
[[maybe_unused]] const char* const kAdoptedLocale = std::setlocale(LC_ALL, "");
}  // namespace
