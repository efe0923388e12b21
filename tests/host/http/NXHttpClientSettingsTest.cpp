// Settings of the HTTP client: what an unset key means and how set values are read.
#include "host/http/NXHttpClientSettings.h"
#include "host/settings/NXPlatformInfo.h"

#include <gtest/gtest.h>

namespace {

TEST(NXHttpClientSettings, UnsetKeysKeepTimeoutsOnAndConnectWhereTheUrlSays) {
    NXPlatformInfo::clearValues();
    NXHttpClientSettings defaults = NXHttpClientSettings::load();
    EXPECT_TRUE(defaults.connectTo.empty());
    EXPECT_EQ("", defaults.caBundle);
    EXPECT_EQ(30u, defaults.connectTimeoutSeconds);
    EXPECT_EQ(60u, defaults.lowSpeedTimeSeconds);

    NXPlatformInfo::setValue("HttpClient", "sConnectTo", " a:443:127.0.0.1:1 ;; b:443:127.0.0.1:2; ");
    NXPlatformInfo::setValue("HttpClient", "sCABundle", " /etc/ca.pem ");
    NXPlatformInfo::setValue("HttpClient", "nConnectTimeoutSeconds", "5");
    NXPlatformInfo::setValue("HttpClient", "nLowSpeedTimeSeconds", "7");
    NXHttpClientSettings set = NXHttpClientSettings::load();
    EXPECT_EQ((std::vector<std::string>{"a:443:127.0.0.1:1", "b:443:127.0.0.1:2"}), set.connectTo);
    EXPECT_EQ("/etc/ca.pem", set.caBundle);
    EXPECT_EQ(5u, set.connectTimeoutSeconds);
    EXPECT_EQ(7u, set.lowSpeedTimeSeconds);
    NXPlatformInfo::clearValues();
}

}  // namespace
