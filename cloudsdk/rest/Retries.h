// When and how long a request to the cloud is asked again: throttling (429),
// server errors (5xx but 501) and answers that never came are retried with
// exponential back-off, or after the "Retry-After" the answer names. Waits go
// through the host's sleeper. Shared by every REST client of the wrapper.
#pragma once

#include <functional>

#include "cloudsdk/rest/HttpExchange.h"

namespace AzureSDKCppBridge::rest {

constexpr unsigned long kFirstBackoffMs = 1000;

bool Retryable(unsigned long status);
// The wait an answer asks for ("Retry-After" in seconds), else `fallbackMs`.
unsigned long RetryAfterMs(const HttpReply& reply, unsigned long fallbackMs);
void Pause(unsigned long ms);

// `once` sent up to `attempts` times while its answer is retryable, waiting 1 s, 2 s, 4 s ... between
// (or what the answer asks). `once` sets `stop` when it failed before sending: no further attempt is made.
HttpReply SendWithRetries(int attempts, const std::function<HttpReply(bool& stop)>& once);

}  // namespace AzureSDKCppBridge::rest
