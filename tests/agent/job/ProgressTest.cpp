// The progress line: sizes in binary units, the time left only while there is a rate and bytes to go.
#include <gtest/gtest.h>

#include "agent/job/Progress.h"

using namespace vsagent;

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

TEST(Progress, SizesSwitchUnitAtEachThousandTwentyFourAndTimeLeftIsShownOnlyWithARateAndBytesToGo) {
    // No unit above TiB.
    EXPECT_EQ((std::vector<std::string>{FormatBytes(0), FormatBytes(1023), FormatBytes(1024), FormatBytes(1536 * 1024),
                                        FormatBytes(3 * 1024 * kMiB), FormatBytes(2048ull * 1024 * 1024 * kMiB)}),
              (std::vector<std::string>{"0 B", "1023 B", "1.0 KiB", "1.5 MiB", "3.0 GiB", "2048.0 TiB"}));
    EXPECT_EQ(Progress::Line(12 * kMiB, 48 * kMiB, 2), "12.0 MiB / 48.0 MiB  25%  6.3 MB/s  ETA 6s");
    EXPECT_EQ(Progress::Line(48 * kMiB, 48 * kMiB, 2), "48.0 MiB / 48.0 MiB  100%  25.2 MB/s");
    EXPECT_EQ(Progress::Line(0, 48 * kMiB, 0), "0 B / 48.0 MiB  0%  0.0 MB/s");
    EXPECT_EQ(Progress::Line(0, 0, 1), "0 B / 0 B  100%  0.0 MB/s");  // nothing to read is done
}

}  // namespace
