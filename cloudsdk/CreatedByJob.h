// The tag (blob metadata for page blobs) that marks what a wrapper created:
// "createdByJob" = the job id given to Initialize, as decimal text. Clean-up
// operations remove only resources that carry the calling wrapper's own tag.
#pragma once

#include <string>

#include "azsim/model/Resources.h"

namespace AzureSDKCppBridge {

constexpr const char* kCreatedByJobTag = "createdByJob";

inline azsim::Tags CreatedByJobTags(long long jobId) { return {{kCreatedByJobTag, std::to_string(jobId)}}; }

inline bool CreatedByJob(const azsim::Tags& tags, long long jobId) {
    auto it = tags.find(kCreatedByJobTag);
    return it != tags.end() && it->second == std::to_string(jobId);
}

}  // namespace AzureSDKCppBridge
