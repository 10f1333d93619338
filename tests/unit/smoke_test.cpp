#include <gtest/gtest.h>

#include "fake_os.h"
#include "app/os_seam.h"

TEST(FakeClock, sleeping_moves_the_clock_without_waiting) {
    fakeos::Reset(1000);
    OsSleep(3);
    EXPECT_EQ(OsTime(), 1003);
}
