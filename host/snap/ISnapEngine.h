// The snapshot engine a host installs for snapshot-engine jobs: it takes one
// snapshot set per volume (VM) of a job. The agent's engine asks the plugin
// to create each VM's snapshot set; tests install engines of their own.
#pragma once

#include "host/snap/SnapRecords.h"
#include "plugin/frame/records/Contexts.h"

class ISnapEngine {
public:
    virtual ~ISnapEngine() = default;
    // Snaps every volume of info, recording each outcome with info.addSnap (status success with the
    // set's GUID, or failed with the code and text). False only when the engine could not run at all.
    virtual bool TakeSnapshots(const MountCtx& ctx, SMVolSnapInfo& info) = 0;
};
