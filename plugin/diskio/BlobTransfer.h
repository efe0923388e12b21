// What the page-blob reader and writer share: the piece size of one request, the
// pause between attempts, the attempt limit a setting gives, and the response text
// of a request for the log.
#pragma once

#include <string>

#include "host/http/NXLibCurl.h"
#include "plugin/frame/records/Enums.h"

namespace blobtransfer {

constexpr UINT kPieceBytes = 0x400000;
constexpr unsigned long kRetryPauseMs = 2000;

// Attempts per piece: the "VirtualServer" setting `key`, never fewer than two.
unsigned long AttemptLimit(const char* key);
// The body of the request's answer; empty when there is none.
std::string ResponseText(NXLibCurl& curl);
// Logs the answer of `url` under `tag` at `level`.
void LogResponse(const char* tag, const std::string& url, const std::string& response, int level);

}  // namespace blobtransfer
