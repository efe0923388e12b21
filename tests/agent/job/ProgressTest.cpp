// The progress line: sizes in binary units, the time left only while there is a rate and bytes to go.
#include <gtest/gtest.h>

#include "agent/job/Progress.h"

using namespace vsagent;

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

TEST(Progress, SizesSwitchUnitAtEachThousandTwentyFour) {
    EXPECT_EQ(FormatBytes(0), "0 B");
    EXPECT_EQ(FormatBytes(1023), "1023 B");
    EXPECT_EQ(FormatBytes(1024), "1.0 KiB");
    EXPECT_EQ(FormatBytes(1536 * 1024), "1.5 MiB");
    EXPECT_EQ(FormatBytes(3 * 1024 * kMiB), "3.0 GiB");
    EXPECT_EQ(FormatBytes(2048ull * 1024 * 1024 * kMiB), "2048.0 TiB");  // no unit above TiB
}

TEST(Progress, TimeLeftIsShownOnlyWithARateAndBytesToGo) {
    EXPECT_EQ(Progress::Line(12 * kMiB, 48 * kMiB, 2), "12.0 MiB / 48.0 MiB  25%  6.3 MB/s  ETA 6s");
    EXPECT_EQ(Progress::Line(48 * kMiB, 48 * kMiB, 2), "48.0 MiB / 48.0 MiB  100%  25.2 MB/s");
    EXPECT_EQ(Progress::Line(0, 48 * kMiB, 0), "0 B / 48.0 MiB  0%  0.0 MB/s");
    EXPECT_EQ(Progress::Line(0, 0, 1), "0 B / 0 B  100%  0.0 MB/s");  // nothing to read is done
}

}  // namespace
