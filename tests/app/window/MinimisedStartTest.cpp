// A window stored as minimised starts minimised once: later activations of
// the window (after each dialog) do not minimise it again.
#include "WindowTestSupport.h"

namespace qv::app::wintest {
namespace {

TEST_P(WindowTest, AMinimisedStartIsAppliedOnce) {
  Configure({});
  Store->WriteWindowPlacement(WindowState::Minimized, true, WindowPlacement{0, 5, 6, 700, 500});
  Start({});
  ASSERT_EQ(View.AppliedPlacements.size(), 1u);
  EXPECT_EQ(View.AppliedPlacements[0].Status, 2);
  Controller->FormActivate();
  Controller->FormActivate();
  EXPECT_EQ(View.AppliedPlacements.size(), 1u);
}

}  // namespace
}  // namespace qv::app::wintest
