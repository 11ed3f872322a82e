#include "app/MultList.h"

#include "app/Scoring.h"

namespace qv::app {

std::vector<MultListLine> MultiplierList(const BandTable& bands) {
  std::vector<MultListLine> lines;
  // All bands the totals count are listed, 420, 902 and 1240 included.
  for (int32_t b = 0; b < kBandCount; ++b) {
    for (int32_t s = 1; s <= bands.Used(b); ++s)
      lines.push_back({bands.Owner(b, s), bands.Country(b, 0), bands.Country(b, s)});
  }
  return lines;
}

}  // namespace qv::app
