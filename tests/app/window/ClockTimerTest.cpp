// The two timers: the clock ticks first after 1500 ms and then every
// 2500 ms, following the UTC clock; the multiplier notice waits 3000 ms.
#include "WindowTestSupport.h"

namespace qv::app::wintest {
namespace {

TEST_P(WindowTest, ClockTicksFirstAfter1500MsThenEvery2500Ms) {
  Configure({});
  Controller = std::make_unique<MainController>(View, Factory(), *Store, Home);
  Controller->FormCreate();
  EXPECT_TRUE(View.TimerOn[0]);
  EXPECT_EQ(View.TimerMs[0], 1500);
  EXPECT_FALSE(View.TimerOn[1]);  // the notice timer waits for a new multiplier
  EXPECT_EQ(View.TimerMs[1], 3000);
  Controller->FormActivate();
  EXPECT_EQ(View.TimerMs[0], 1500);  // activation leaves the interval alone
  EXPECT_TRUE(Controller->Module().FirstTick);

  Controller->Timer1Timer();
  EXPECT_FALSE(Controller->Module().FirstTick);
  EXPECT_EQ(View.TimerMs[0], 2500);
  EXPECT_EQ(Text(Ctl::ClockPanel), "1234");
  EXPECT_EQ(Text(Ctl::QSODate), "2024-05-06");

  // The next ticks follow the clock, also across midnight.
  SetNowUtcSource([] { return EncodeDate(2024, 5, 7) + EncodeTime(0, 1, 0, 0); });
  View.TimerMs[0] = 0;
  Controller->Timer1Timer();
  EXPECT_EQ(View.TimerMs[0], 0);  // set once, on the first tick only
  EXPECT_EQ(Text(Ctl::ClockPanel), "0001");
  EXPECT_EQ(Text(Ctl::QSODate), "2024-05-07");
  EXPECT_TRUE(View.TimerOn[0]);
}

}  // namespace
}  // namespace qv::app::wintest
