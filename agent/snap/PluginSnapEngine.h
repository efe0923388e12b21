// The snapshot engine of the agent's snapshot-engine jobs: the host's snapshot
// utility hands it every volume (VM) of a job at once, and it asks the plugin
// to create each VM's snapshot set in one snapshot operation.
#pragma once

#include <string>

#include "host/snap/ISnapEngine.h"
#include "host/vminfo/IVMInfo.h"

namespace vsagent {

class PluginSnapEngine : public ISnapEngine {
public:
    explicit PluginSnapEngine(IVMInfo& plugin) : plugin_(plugin) {}
    // One create operation with an entity per volume; each outcome recorded on its volume:
    // success with the set's GUID, or failed with the entity's status and why.
    bool TakeSnapshots(const MountCtx& ctx, SMVolSnapInfo& info) override;

    // Installs an engine over `plugin` with the catalog of the backup store at `storeRoot`.
    static void Install(IVMInfo& plugin, const std::string& storeRoot);

private:
    IVMInfo& plugin_;
};

// The catalog folder of a backup store's snapshot-engine jobs.
std::string SnapCatalogRoot(const std::string& storeRoot);
// The disk names of a comma-separated list of disk URIs (the last path part of each).
std::string DiskNamesOf(const std::string& uris);

}  // namespace vsagent
