// The content of the "View Multipliers" list: one line per band and country
// multiplier, with the contact that first earned it, band by band in table
// order and, within a band, in the order the multipliers were worked.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv::app {

class BandTable;

inline constexpr std::string_view kMultViewCaption = "View Multipliers";

struct MultListColumn {
  std::string_view Caption;
  int32_t Width;
  bool Centred;
};
inline constexpr std::array<MultListColumn, 3> kMultListColumns = {{
    {"QSO #   CALL", 120, false},
    {"FREQ", 55, true},
    {"MULTIPLIER", 140, false},
}};

struct MultListLine {
  std::string QsoCall;     // "<serial> <call>" of the first contact
  std::string Freq;        // the band name
  std::string Multiplier;  // the country

  bool operator==(const MultListLine&) const = default;
};

// Every multiplier of all 16 bands (each band's filled slots, in order).
std::vector<MultListLine> MultiplierList(const BandTable& bands);

}  // namespace qv::app
