#include "cloudsdk/rest/Retries.h"

#include <algorithm>
#include <cctype>

#include "host/sys/Time.h"

namespace AzureSDKCppBridge::rest {

bool Retryable(unsigned long status) { return status == 0 || status == 429 || (status >= 500 && status != 501); }

unsigned long RetryAfterMs(const HttpReply& reply, unsigned long fallbackMs) {
    const std::string value = reply.header("Retry-After");
    if (value.empty() || !std::all_of(value.begin(), value.end(), ::isdigit)) return fallbackMs;
    return std::stoul(value) * 1000;
}

void Pause(unsigned long ms) {
    if (ms > 0) KASLEEP(ms);
}

HttpReply SendWithRetries(int attempts, const std::function<HttpReply(bool& stop)>& once) {
    HttpReply reply;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) Pause(RetryAfterMs(reply, kFirstBackoffMs << (attempt - 1)));
        bool stop = false;
        reply = once(stop);
        if (stop || !Retryable(reply.status)) break;
    }
    return reply;
}

}  // namespace AzureSDKCppBridge::rest
