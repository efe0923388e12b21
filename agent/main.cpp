// vsagent: the host agent program. Loads the plugin and drives browse and
// backup and restore jobs through it; keeps backups in a local backup store.
#include <cstring>
#include <iostream>
#include <string>

#include "agent/cli/Commands.h"
#include "agent/host/CancelSignal.h"

namespace {

const char* const kUsage =
    "usage: vsagent COMMAND [OPTIONS]   (vsagent COMMAND --help for a command's options)\n"
    "\n"
    "Commands:\n"
    "  browse [PATH]                    the inventory tree of the subscription\n"
    "  backup --vm NAME --store DIR     full or incremental backup of a VM\n"
    "  list --store DIR                 the backup jobs of a store\n"
    "  verify --store DIR [--job ID]    re-hash what the store's manifests promise\n"
    "  export --store DIR --job ID --disk N --out FILE\n"
    "                                   a disk as of a job, assembled from its backups\n"
    "  serve --store DIR --job ID --disk N [--socket PATH | --port PORT]\n"
    "                                   a disk as of a job as a read-only network block device\n"
    "  files --store DIR --job ID ls|get|find ...\n"
    "                                   list, copy out or find the files of a job's disks\n"
    "  prune --store DIR --keep-last N | --keep-within DURATION\n"
    "                                   remove old backups; kept ones stay restorable\n"
    "  restore --store DIR --job ID [--name NAME]\n"
    "                                   a backed-up VM as a VM in the cloud, from any job\n"
    "  vm start|stop|deploy|delete|snapshot|unsnapshot|reconfigure|clone\n"
    "                                   power, delete, snapshot, resize or clone a VM\n"
    "  network create|delete --name NAME --group RG\n"
    "                                   virtual networks\n"
    "  storage expire-disks --region REGION --older-than DURATION\n"
    "                                   delete old unattached disks this product created\n"
    "  guest run --vm NAME --script FILE   run a script inside a running VM's guest\n"
    "  snap backup|copy|list|delete     snapshot-engine jobs: VMs snapped together, copied later\n"
    "  replicate --store DIR --vm NAME --job ID --to-group RG --to-storage ACCOUNT\n"
    "                                   replicate a backup onto a standby kept as page blobs\n"
    "  standby create|delete|failover-cleanup --name VM --group RG --storage ACCOUNT\n"
    "                                   deploy the standby at failover, delete it keeping its disks\n"
    "  demo                             full and incremental backup, export and compare, end to end\n"
    "\n"
    "Without --cloud DIR the agent works on a simulated subscription in ~/.vsagent/cloud,\n"
    "created on first use.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "help")) {
        std::cout << kUsage;
        return argc < 2 ? vsagent::kExitUsage : vsagent::kExitOk;
    }
    // Before any thread starts, so that Ctrl-C reaches the job as a cancel.
    vsagent::CancelSignal cancel;
    std::string command = argv[1];
    if (command == "browse") return vsagent::RunBrowse(argc, argv);
    if (command == "backup") return vsagent::RunBackup(argc, argv, cancel);
    if (command == "list") return vsagent::RunList(argc, argv);
    if (command == "verify") return vsagent::RunVerify(argc, argv, cancel);
    if (command == "export") return vsagent::RunExport(argc, argv, cancel);
    if (command == "serve") return vsagent::RunServe(argc, argv, cancel);
    if (command == "files") return vsagent::RunFiles(argc, argv, cancel);
    if (command == "prune") return vsagent::RunPrune(argc, argv, cancel);
    if (command == "restore") return vsagent::RunRestore(argc, argv, cancel);
    if (command == "vm") return vsagent::RunVm(argc, argv, cancel);
    if (command == "network") return vsagent::RunNetwork(argc, argv, cancel);
    if (command == "storage") return vsagent::RunStorage(argc, argv, cancel);
    if (command == "guest") return vsagent::RunGuest(argc, argv, cancel);
    if (command == "snap") return vsagent::RunSnap(argc, argv, cancel);
    if (command == "replicate") return vsagent::RunReplicate(argc, argv, cancel);
    if (command == "standby") return vsagent::RunStandby(argc, argv, cancel);
    if (command == "demo") return vsagent::RunDemo(argc, argv, cancel);
    std::cerr << "vsagent: unknown command [" << command << "]\n\n" << kUsage;
    return vsagent::kExitUsage;
}
