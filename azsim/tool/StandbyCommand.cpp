#include <iostream>

#include <nlohmann/json.hpp>

#include "azsim/model/ResourceIds.h"
#include "azsim/scenarios/StandbySeed.h"
#include "azsim/tool/Commands.h"

namespace azsimtool {

namespace {

const char* const kUsage =
    "usage: azsim standby --state DIR --from VM --name NAME --group RG --storage ACCOUNT\n"
    "\n"
    "Seeds what a replication of VM leaves when it keeps the standby NAME as page blobs only:\n"
    "a copy of each of VM's disks as a page blob in the \"vhds\" container of ACCOUNT\n"
    "(\"RG-NAME.vhd\" for the OS disk, \"RG-NAME-1.vhd\" and on for the data disks), each\n"
    "tagged with its replication GUID and with an integrity snapshot, and the configuration\n"
    "blob \"rg-name.json\" from which the standby VM is deployed at failover. Prints them as JSON.\n";

}  // namespace

int RunStandby(int argc, char** argv) {
    CommandLine line;
    int exit = ParseCommand(argc, argv, {{"from", true}, {"name", true}, {"group", true}, {"storage", true}}, kUsage,
                            line);
    if (exit >= 0) return exit;
    for (const char* option : {"from", "name", "group", "storage"})
        if (line.value(option).empty()) return Fail("standby", std::string("--") + option + " is required", kExitUsage);
    const azsim::SeededStandby seeded = azsim::SeedStandby(
        azsim::SubscriptionState(line.value("state")),
        {line.value("from"), line.value("name"), line.value("group"), line.value("storage")});
    nlohmann::json blobs = nlohmann::json::array();
    for (const azsim::BlobKey& blob : seeded.blobs) blobs.push_back(azsim::PageBlobUri(blob));
    std::cout << nlohmann::json{{"blobs", blobs},
                                {"integritySnapshotSet", seeded.snapshotSet},
                                {"configuration", azsim::PageBlobUri(seeded.configuration)}}
                     .dump(2)
              << "\n";
    return kExitOk;
}

}  // namespace azsimtool
