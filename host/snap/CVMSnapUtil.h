// Snapshot-metadata utility of snapshot-engine jobs: keeps the job's snapshot
// records and their metadata files. Its operations come with those jobs; a
// plugin creates one per object, bound to the object's log event.
#pragma once

#include "host/log/JobIdentity.h"

class CVMSnapUtil {
public:
    explicit CVMSnapUtil(const EvEvent& logEvent) : logEvent_(logEvent) {}
    const EvEvent& GetLogEvent() const { return logEvent_; }

private:
    const EvEvent& logEvent_;
};
