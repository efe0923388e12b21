// The tag (blob metadata for page blobs) that marks what a wrapper created:
// "createdByJob" = the GUID of the job that created it (the host's job GUID when
// the wrapper was initialized). Clean-up operations remove only resources that
// carry the calling wrapper's own tag; a tag written by an older release with a
// bare job number never equals a GUID, so nothing of that kind is ever taken for
// the caller's own.
#pragma once

#include <map>
#include <string>

namespace AzureSDKCppBridge {

constexpr const char* kCreatedByJobTag = "createdByJob";

inline std::map<std::string, std::string> CreatedByJobTags(const std::string& jobGuid) {
    return {{kCreatedByJobTag, jobGuid}};
}

}  // namespace AzureSDKCppBridge
