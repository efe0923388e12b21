// vm, network, storage and guest: single operations on the cloud through the plugin.
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>

#include <nlohmann/json.hpp>

#include "agent/cli/Commands.h"
#include "agent/cli/Subcommand.h"
#include "agent/host/CancelSignal.h"
#include "agent/store/Retention.h"
#include "agent/vmops/ManagedCloneSource.h"
#include "agent/vmops/PluginSession.h"
#include "cloudsdk/NetworkRules.h"
#include "host/sys/Time.h"

namespace vsagent {

namespace {

// Parses "vsagent GROUP SUB ..." against `sub`, connects, runs it and shows its result.
int RunSubcommand(int argc, char** argv, const std::string& name, const Subcommand& sub, CancelSignal& cancel) {
    std::vector<char*> args(argv, argv + argc);
    std::string full = std::string(argv[1]) + " " + argv[2];
    args.erase(args.begin() + 1);
    args[1] = full.data();
    CommandLine line;
    int exit = ParseCommand(static_cast<int>(args.size()), args.data(), sub.options, 0, sub.usage, line);
    if (exit >= 0) return exit;
    for (const char* option : sub.required)
        if (line.value(option).empty())
            return Fail(full.c_str(), std::string("--") + option + " is required", kExitUsage);
    try {
        PluginSession session(ChooseCloud(line), cancel);
        nlohmann::json out = nlohmann::json::object();
        std::string error;
        exit = sub.run(session, line, out, error);
        if (exit != kExitOk) return Fail(full.c_str(), error, exit);
        if (line.has("json")) {
            std::cout << out.dump(2) << "\n";
        } else {
            std::cout << name << ":";
            for (auto it = out.begin(); it != out.end(); ++it)
                std::cout << " " << it.key() << "=" << (it->is_string() ? it->get<std::string>() : it->dump());
            std::cout << "\n";
        }
        return kExitOk;
    } catch (const std::exception& e) {
        return Fail(full.c_str(), e.what());
    }
}

// The result of a VM operation: the VM, and what it is now unless it was deleted.
void Describe(PluginSession& s, const OperationCtx& ctx, nlohmann::json& out) {
    out["vm"] = ctx.vmInfo.name;
    out["guid"] = ctx.vmInfo.guid;
    if (!ctx.snapshotId.empty()) out["snapshot"] = ctx.snapshotId;
    SVMInfo after;
    std::string error;
    if (ctx.operation != VM_OP_DELETE && s.findVm(ctx.vmInfo.name, ctx.vmInfo.resourceGroup, after, error)) {
        out["powerState"] = after.powerState == 1 ? "running" : "stopped";
        out["size"] = after.vmSize;
    } else if (ctx.operation == VM_OP_DELETE) {
        out["deleted"] = true;
    }
}

// One PerformVMOperation on the VM --vm names; `prepare` may change the context first.
Subcommand VmOperation(const char* usage, int operation, const std::string& what, std::vector<OptionSpec> extra = {},
                       std::function<bool(const CommandLine&, OperationCtx&, std::string&)> prepare = {}) {
    std::vector<OptionSpec> options = {{"vm", true}, {"group", true}};
    options.insert(options.end(), extra.begin(), extra.end());
    return {usage, options, {"vm"},
            [=](PluginSession& s, const CommandLine& line, nlohmann::json& out, std::string& error) {
                OperationCtx ctx;
                ctx.operation = operation;
                if (!s.findVm(line.value("vm"), line.value("group"), ctx.vmInfo, error)) return kExitFailed;
                if (prepare && !prepare(line, ctx, error)) return kExitUsage;
                if (s.plugin().PerformVMOperation(ctx) != 1) {
                    error = s.failure(what + " of VM [" + ctx.vmInfo.name + "]");
                    return kExitFailed;
                }
                Describe(s, ctx, out);
                return kExitOk;
            }};
}

const char* const kStartUsage = "usage: vsagent vm start --vm NAME [--group RG]\n\nPowers the VM on; a running VM stays as it is.\n";
const char* const kStopUsage = "usage: vsagent vm stop --vm NAME [--group RG]\n\nShuts the VM down and waits until it is stopped.\n";
const char* const kDeleteUsage =
    "usage: vsagent vm delete --vm NAME [--group RG]\n\nDeletes the VM with its disks, network interfaces and public IPs.\n";
const char* const kSnapshotUsage =
    "usage: vsagent vm snapshot --vm NAME [--group RG]\n\nTakes a snapshot of every disk of the VM; prints its id.\n";
const char* const kUnsnapshotUsage =
    "usage: vsagent vm unsnapshot --vm NAME --snapshot ID [--group RG]\n\nDeletes the VM snapshot ID.\n";
const char* const kReconfigureUsage =
    "usage: vsagent vm reconfigure --vm NAME --size SIZE [--group RG]\n\nGives the VM another size.\n";
const char* const kCloneUsage =
    "usage: vsagent vm clone --vm SOURCE --name NEW (--snapshot ID | --from-config) [--group RG]\n"
    "                        [--storage ACCOUNT] [--size SIZE]\n"
    "\n"
    "Makes VM NEW from VM SOURCE: with --snapshot, managed disks from the disks' snapshot ID\n"
    "(see 'vsagent vm snapshot'), deployed from the OS disk's copy; with --from-config, from\n"
    "the configuration file kept for SOURCE in the \"vhds\" container of ACCOUNT. The clone\n"
    "goes to SOURCE's group, region and size unless told otherwise. The snapshots of a SOURCE on\n"
    "managed disks are copied through the \"vhds\" container of ACCOUNT (by default an account of\n"
    "SOURCE's region); the copies are removed once the clone has its disks.\n";

const char* const kDeployUsage =
    "usage: vsagent vm deploy --vm NAME --group RG --os-disk DISK [--size SIZE] [--from VM] [--stopped]\n"
    "\n"
    "Deploys a new VM NAME in group RG from the unattached managed disk DISK of that group as its\n"
    "OS disk: with SIZE, or the smallest size of the group's region that fits; --from VM lends\n"
    "the new VM that VM's operating system type and generation; --stopped leaves it deallocated.\n";

// The VM record a deployment from an existing disk makes: the disk, by its resource id, as OS disk.
int Deploy(PluginSession& s, const CommandLine& line, nlohmann::json& out, std::string& error) {
    OperationCtx ctx;
    ctx.operation = VM_OP_CLONE;  // without a source to clone: the record itself is deployed
    ctx.deployFlag = !line.has("stopped");
    SHostInfo group;
    if (!s.plugin().GetHostInfoForHost(line.value("group"), 0, 0, group)) {
        error = s.failure("looking up resource group [" + line.value("group") + "]", VMINFO_ERR_VM_NOT_FOUND);
        return kExitFailed;
    }
    if (line.has("from")) {
        SVMInfo source;
        if (!s.findVm(line.value("from"), "", source, error)) return kExitFailed;
        ctx.sourceVmGuid = source.guid;
        ctx.vmInfo.firmware = source.firmware;
    }
    ctx.vmInfo.name = line.value("vm");
    ctx.vmInfo.resourceGroup = group.name.empty() ? line.value("group") : group.name;
    ctx.vmInfo.region = group.location;
    ctx.vmInfo.vmSize = line.value("size");
    ctx.vmInfo.isManaged = true;
    SDisk os;
    os.name = line.value("os-disk");
    os.managedDiskId = "/subscriptions/" + s.subscriptionId() + "/resourceGroups/" + ctx.vmInfo.resourceGroup +
                       "/providers/Microsoft.Compute/disks/" + os.name;
    os.isOsDisk = true;
    os.isManaged = true;
    os.uri = os.managedDiskId;  // an existing disk: it keeps its place, it needs no LUN
    ctx.vmInfo.disks.push_back(os);
    if (s.plugin().PerformVMOperation(ctx) != 1) {
        error = s.failure("deploying VM [" + ctx.vmInfo.name + "]", VMINFO_ERR_RESTORE_DEPLOY);
        return kExitFailed;
    }
    SVMInfo deployed;
    if (!s.findVm(ctx.vmInfo.name, ctx.vmInfo.resourceGroup, deployed, error)) return kExitFailed;
    out["vm"] = deployed.name;
    out["guid"] = deployed.guid;
    out["size"] = deployed.vmSize;
    out["powerState"] = deployed.powerState == 1 ? "running" : "stopped";
    return kExitOk;
}

// The clone request for the source VM `ctx.vmInfo` holds.
bool PrepareClone(const CommandLine& line, OperationCtx& ctx, std::string& error) {
    if (line.has("snapshot") == line.has("from-config")) {
        error = "give exactly one of --snapshot ID and --from-config";
        return false;
    }
    if (line.value("name").empty()) {
        error = "--name NEW is required";
        return false;
    }
    const SVMInfo source = ctx.vmInfo;
    ctx.sourceVmName = source.name;
    ctx.sourceVmGuid = line.has("snapshot") ? source.guid : std::string();
    ctx.cloneFromSourceVm = true;
    ctx.deployFlag = true;
    ctx.vmInfo = SVMInfo();
    ctx.vmInfo.name = line.value("name");
    ctx.vmInfo.resourceGroup = line.value("group", source.resourceGroup);
    ctx.vmInfo.region = source.region;
    ctx.vmInfo.vmSize = line.value("size", source.vmSize);
    ctx.vmInfo.storageAccount = line.value("storage", source.storageAccount);
    ctx.vmInfo.firmware = source.firmware;
    ctx.vmInfo.isManaged = true;
    ctx.vmInfo.disks = source.disks;
    if (!ctx.vmInfo.disks.empty()) ctx.vmInfo.disks.front().integritySnapshot = line.value("snapshot");
    return true;
}

// A clone from a snapshot of a VM on managed disks goes through copies of the disks' snapshots
// (ManagedCloneSource.h), which are removed once the clone has its own disks.
int Clone(PluginSession& s, const CommandLine& line, nlohmann::json& out, std::string& error) {
    OperationCtx ctx;
    ctx.operation = VM_OP_CLONE;
    if (!s.findVm(line.value("vm"), line.value("group"), ctx.vmInfo, error)) return kExitFailed;
    const SVMInfo source = ctx.vmInfo;
    if (!PrepareClone(line, ctx, error)) return kExitUsage;
    std::optional<ManagedCloneSource> copies;
    if (line.has("snapshot") && source.isManaged) {
        copies.emplace(s.credentials(), s.jobId());
        if (!copies->stage(source, line.value("snapshot"), ctx.vmInfo, error)) {
            error = "cloning of VM [" + ctx.vmInfo.name + "] failed: " + error;
            return kExitFailed;
        }
    }
    if (s.plugin().PerformVMOperation(ctx) != 1) {
        error = s.failure("cloning of VM [" + ctx.vmInfo.name + "]");
        return kExitFailed;
    }
    Describe(s, ctx, out);
    return kExitOk;
}

}  // namespace

int Dispatch(int argc, char** argv, const char* group, const std::map<std::string, Subcommand>& subs,
             CancelSignal& cancel) {
    std::string list;
    for (const auto& sub : subs) list += (list.empty() ? "" : "|") + sub.first;
    const std::string usage = std::string("usage: vsagent ") + group + " " + list + " [OPTIONS]   (" + group +
                              " SUBCOMMAND --help for its options)\n";
    if (argc < 3 || std::string(argv[2]) == "--help") {
        std::cout << usage;
        return argc < 3 ? kExitUsage : kExitOk;
    }
    auto sub = subs.find(argv[2]);
    if (sub == subs.end()) return Fail(group, std::string("unknown subcommand [") + argv[2] + "]\n" + usage, kExitUsage);
    return RunSubcommand(argc, argv, std::string(group) + " " + sub->first, sub->second, cancel);
}

int RunVm(int argc, char** argv, CancelSignal& cancel) {
    const std::map<std::string, Subcommand> subs = {
        {"start", VmOperation(kStartUsage, VM_OP_POWER_ON, "powering on")},
        {"deploy", {kDeployUsage,
                    {{"vm", true}, {"group", true}, {"os-disk", true}, {"size", true}, {"from", true}, {"stopped", false}},
                    {"vm", "group", "os-disk"},
                    Deploy}},
        {"stop", VmOperation(kStopUsage, VM_OP_POWER_OFF, "shutting down")},
        {"delete", VmOperation(kDeleteUsage, VM_OP_DELETE, "deleting")},
        {"snapshot", VmOperation(kSnapshotUsage, VM_OP_CREATE_SNAPSHOT, "a snapshot")},
        {"unsnapshot", VmOperation(kUnsnapshotUsage, VM_OP_DELETE_SNAPSHOT, "deleting a snapshot", {{"snapshot", true}},
                                   [](const CommandLine& line, OperationCtx& ctx, std::string& error) {
                                       ctx.snapshotId = line.value("snapshot");
                                       if (ctx.snapshotId.empty()) error = "--snapshot ID is required";
                                       return !ctx.snapshotId.empty();
                                   })},
        {"reconfigure", VmOperation(kReconfigureUsage, VM_OP_RECONFIGURE, "reconfiguring", {{"size", true}},
                                    [](const CommandLine& line, OperationCtx& ctx, std::string& error) {
                                        ctx.vmInfo.vmSize = line.value("size");
                                        if (ctx.vmInfo.vmSize.empty()) error = "--size SIZE is required";
                                        return !ctx.vmInfo.vmSize.empty();
                                    })},
        {"clone", {kCloneUsage,
                   {{"vm", true}, {"group", true}, {"name", true}, {"snapshot", true}, {"from-config", false},
                    {"storage", true}, {"size", true}},
                   {"vm"},
                   Clone}},
    };
    return Dispatch(argc, argv, "vm", subs, cancel);
}

int RunNetwork(int argc, char** argv, CancelSignal& cancel) {
    auto network = [](bool create) {
        return [create](PluginSession& s, const CommandLine& line, nlohmann::json& out, std::string& error) {
            SNetworkInfo net;
            net.name = line.value("name");
            net.addressPrefix = line.value("prefix", "10.10.0.0/16");
            if (create) net.subnets.push_back(line.value("subnet", "default"));
            if (create) {
                // Refused here with the rule, before the cloud is asked for anything.
                error = AzureSDKCppBridge::NetworkRequestProblem(net);
                if (!error.empty()) return kExitUsage;
            }
            SHostInfo group;
            if (!s.plugin().GetHostInfoForHost(line.value("group"), 0, 0, group)) {
                error = s.failure("looking up resource group [" + line.value("group") + "]");
                return kExitFailed;
            }
            net.location = group.location;
            const bool done = create ? s.plugin().CreateNetwork(net, line.value("group"), SHostNetworkAdapterInfo())
                                     : s.plugin().DeleteNetwork(net, line.value("group"), SHostNetworkAdapterInfo());
            if (!done) {
                error = s.failure(std::string(create ? "creating" : "deleting") + " virtual network [" + net.name + "]");
                return kExitFailed;
            }
            out["network"] = net.name;
            out["group"] = line.value("group");
            out[create ? "created" : "deleted"] = true;
            return kExitOk;
        };
    };
    const std::map<std::string, Subcommand> subs = {
        {"create", {"usage: vsagent network create --name NAME --group RG [--prefix CIDR] [--subnet NAME]\n\n"
                    "Creates a virtual network (default 10.10.0.0/16) with one subnet in the group's region.\n",
                    {{"name", true}, {"group", true}, {"prefix", true}, {"subnet", true}}, {"name", "group"}, network(true)}},
        {"delete", {"usage: vsagent network delete --name NAME --group RG\n\n"
                    "Deletes a virtual network; one that a network interface still uses is refused.\n",
                    {{"name", true}, {"group", true}}, {"name", "group"}, network(false)}},
    };
    return Dispatch(argc, argv, "network", subs, cancel);
}

int RunStorage(int argc, char** argv, CancelSignal& cancel) {
    const std::map<std::string, Subcommand> subs = {
        {"expire-disks",
         {"usage: vsagent storage expire-disks --region REGION --older-than DURATION\n\n"
          "Deletes the unattached disks this product created in REGION that are older than\n"
          "DURATION (30d, 12h, 1w2d). Disks it did not create are never touched.\n",
          {{"region", true}, {"older-than", true}},
          {"region", "older-than"},
          [](PluginSession& s, const CommandLine& line, nlohmann::json& out, std::string& error) {
              std::int64_t seconds = 0;
              if (!ParseDuration(line.value("older-than"), seconds, error)) return kExitUsage;
              StorageOperationCtx ctx;
              ctx.operation = STORAGE_OP_DELETE_EXPIRED_DISKS;
              ctx.region = line.value("region");
              ctx.expiryTime = static_cast<std::time_t>(NxClock::nowSeconds() - seconds);
              if (s.plugin().PerformStorageOperation(ctx) != 0) {
                  error = "deleting expired disks in [" + ctx.region + "] failed: " + ctx.errorText;
                  return kExitFailed;
              }
              out["region"] = ctx.region;
              out["expired"] = "deleted";
              return kExitOk;
          }}},
    };
    return Dispatch(argc, argv, "storage", subs, cancel);
}

int RunGuest(int argc, char** argv, CancelSignal& cancel) {
    const std::map<std::string, Subcommand> subs = {
        {"run",
         {"usage: vsagent guest run --vm NAME --script FILE [--params TEXT] [--group RG]\n\n"
          "Runs the script FILE inside the guest of the running VM NAME.\n",
          {{"vm", true}, {"script", true}, {"params", true}, {"group", true}},
          {"vm", "script"},
          [](PluginSession& s, const CommandLine& line, nlohmann::json& out, std::string& error) {
              SVMInfo vm;
              if (!s.findVm(line.value("vm"), line.value("group"), vm, error)) return kExitFailed;
              GuestCtx guest;
              guest.vmName = vm.name;
              guest.secondText = vm.resourceGroup;
              guest.thirdText = vm.guid;
              int exitCode = 0;
              if (s.plugin().ExecuteScriptInGuest(guest, line.value("script"), line.value("params"), "", 0, "",
                                                  exitCode) != 1) {
                  error = s.failure("running [" + line.value("script") + "] in VM [" + vm.name + "]");
                  return kExitFailed;
              }
              out["vm"] = vm.name;
              out["script"] = line.value("script");
              out["ran"] = true;
              return kExitOk;
          }}},
    };
    return Dispatch(argc, argv, "guest", subs, cancel);
}

}  // namespace vsagent
