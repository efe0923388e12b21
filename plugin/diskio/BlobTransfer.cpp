#include "plugin/diskio/BlobTransfer.h"

#include <algorithm>

#include "host/log/EvDebug.h"
#include "host/settings/NXPlatformInfo.h"

namespace blobtransfer {

unsigned long AttemptLimit(const char* key) {
    unsigned long attempts = 1;
    NXPlatformInfo::getNumber("VirtualServer", key, &attempts);
    return std::max(attempts, 2UL);
}

std::string ResponseText(NXLibCurl& curl) {
    size_t length = 0;
    const char* text = curl.GetHttpResponse(length, false);
    return text ? std::string(text, length) : std::string();
}

void LogResponse(const char* tag, const std::string& url, const std::string& response, int level) {
    EvDebug::DebugLvl(tag, level, "Response from [%s]:\n [%s]\n ", url.c_str(), response.c_str());
}

}  // namespace blobtransfer
