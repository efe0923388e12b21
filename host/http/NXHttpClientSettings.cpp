#include "host/http/NXHttpClientSettings.h"

#include "host/settings/NXPlatformInfo.h"

#include <boost/algorithm/string.hpp>

namespace {
const char* const kSection = "HttpClient";
}

NXHttpClientSettings NXHttpClientSettings::load() {
    NXHttpClientSettings settings;
    std::string connectTo;
    NXPlatformInfo::getString(kSection, "sConnectTo", &connectTo);
    std::vector<std::string> entries;
    boost::algorithm::split(entries, connectTo, boost::algorithm::is_any_of(";"));
    for (std::string& entry : entries) {
        boost::algorithm::trim(entry);
        if (!entry.empty()) settings.connectTo.push_back(entry);
    }
    NXPlatformInfo::getString(kSection, "sCABundle", &settings.caBundle);
    boost::algorithm::trim(settings.caBundle);
    NXPlatformInfo::getString(kSection, "sProxy", &settings.proxy);
    boost::algorithm::trim(settings.proxy);
    NXPlatformInfo::getString(kSection, "sProxyUser", &settings.proxyUser);
    NXPlatformInfo::getString(kSection, "sProxyPassword", &settings.proxyPassword);
    NXPlatformInfo::getNumber(kSection, "nConnectTimeoutSeconds", &settings.connectTimeoutSeconds);
    NXPlatformInfo::getNumber(kSection, "nLowSpeedTimeSeconds", &settings.lowSpeedTimeSeconds);
    return settings;
}
