#include <iostream>

#include "azsim/model/SubscriptionState.h"
#include "azsim/tool/Commands.h"

namespace azsimtool {

namespace {

const char* const kUsage =
    "usage: azsim show --state DIR [KIND]\n"
    "\n"
    "Prints the resources of the subscription in DIR as JSON: all of them, or those of\n"
    "one KIND (subscriptions, regions, resourceGroups, storageAccounts, vms, managedDisks,\n"
    "unmanagedDisks, snapshots, blobSnapshots, snapshotSets, virtualNetworks,\n"
    "securityGroups, networkInterfaces, publicIps, deployments, images, templates).\n"
    "A VM shows its size, zones, generation (firmware \"efi\" = Generation 2), power\n"
    "state, network cards and disks with their LUNs (-1 = the OS disk). A snapshot shows\n"
    "its tags and a blob snapshot its metadata: the set GUID (QD_SNAPSHOT_GUID), the marker\n"
    "of its kind (QD_SNAPSHOT_MARKER: a backup's or the snapshot engine's) and, for a VM\n"
    "snapshot, the job that created it (createdByJob).\n";

}  // namespace

int RunShow(int argc, char** argv) {
    CommandLine line;
    int exit = ParseCommand(argc, argv, {}, kUsage, line);
    if (exit >= 0) return exit;
    if (line.positional().size() > 1) return Fail("show", "at most one resource kind may be named", kExitUsage);

    nlohmann::json document = azsim::SubscriptionState(line.value("state")).load().toJson();
    if (line.positional().empty()) {
        std::cout << document.dump(2) << "\n";
        return kExitOk;
    }
    const std::string& kind = line.positional().front();
    if (!document.contains(kind)) return Fail("show", "unknown resource kind [" + kind + "]", kExitUsage);
    std::cout << document[kind].dump(2) << "\n";
    return kExitOk;
}

}  // namespace azsimtool
