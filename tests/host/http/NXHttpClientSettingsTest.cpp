// Settings of the HTTP client: what an unset key means and how set values are read (the connect-to
// entries and the CA bundle as written in the settings are read by the client's own tests).
#include "host/http/NXHttpClientSettings.h"
#include "host/settings/NXPlatformInfo.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

TEST(NXHttpClientSettings, UnsetKeysKeepTimeoutsOnAndConnectWhereTheUrlSays) {
    NXPlatformInfo::clearValues();
    NXHttpClientSettings defaults = NXHttpClientSettings::load();
    EXPECT_EQ(std::make_tuple(true, std::string(), 30ul, 60ul),
              std::make_tuple(defaults.connectTo.empty(), defaults.caBundle, defaults.connectTimeoutSeconds,
                              defaults.lowSpeedTimeSeconds));
    NXPlatformInfo::setValue("HttpClient", "nConnectTimeoutSeconds", "5");
    NXPlatformInfo::setValue("HttpClient", "nLowSpeedTimeSeconds", "7");
    NXHttpClientSettings set = NXHttpClientSettings::load();
    EXPECT_EQ(std::make_pair(5ul, 7ul), std::make_pair(set.connectTimeoutSeconds, set.lowSpeedTimeSeconds));
    NXPlatformInfo::clearValues();
}

}  // namespace
