// The tag (blob metadata for page blobs) that marks what a wrapper created:
// "createdByJob" = the GUID of the job that created it (the host's job GUID when
// the wrapper was initialized). Clean-up operations remove only resources that
// carry the calling wrapper's own tag; a tag written by an older release with a
// bare job number never equals a GUID, so nothing of that kind is ever taken for
// the caller's own.
#pragma once

#include <string>

#include "azsim/model/Resources.h"

namespace AzureSDKCppBridge {

constexpr const char* kCreatedByJobTag = "createdByJob";

inline azsim::Tags CreatedByJobTags(const std::string& jobGuid) { return {{kCreatedByJobTag, jobGuid}}; }

inline bool CreatedByJob(const azsim::Tags& tags, const std::string& jobGuid) {
    auto it = tags.find(kCreatedByJobTag);
    return !jobGuid.empty() && it != tags.end() && it->second == jobGuid;
}

}  // namespace AzureSDKCppBridge
