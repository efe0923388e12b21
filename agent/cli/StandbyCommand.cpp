// standby: the standby VM a replication keeps as page blobs and a configuration blob,
// deployed at failover, removed again at failback with its disks kept, and the staging
// the replication left removed after a failover.
#include "agent/cli/Commands.h"
#include "agent/cli/Subcommand.h"

namespace vsagent {

namespace {

const char* const kCreateUsage =
    "usage: vsagent standby create --name VM --group RG --storage ACCOUNT\n"
    "\n"
    "Failover: deploys the standby VM from the configuration blob a replication kept for it\n"
    "in the \"vhds\" container of ACCOUNT, on the replicated page blobs as they are. The VM is\n"
    "left stopped; the command returns once it is registered (25 seconds after its creation).\n";
const char* const kDeleteUsage =
    "usage: vsagent standby delete --name VM --group RG [--storage ACCOUNT]\n"
    "\n"
    "Failback: deletes the standby VM VM of group RG and its network interfaces. Its disks stay\n"
    "as they are, for the next replication or failover.\n";
const char* const kCleanupUsage =
    "usage: vsagent standby failover-cleanup --name VM --group RG [--storage ACCOUNT]\n"
    "\n"
    "After a failover: removes the staging the replication left for the deployed VM (its\n"
    "configuration blob). The VM, its disks and their snapshots stay. Refused while the VM\n"
    "does not exist, since its configuration is then the only way to deploy it.\n";

const std::vector<OptionSpec> kOptions = {{"name", true}, {"group", true}, {"storage", true}};

RestoreCtx StandbyCtx(const CommandLine& line) {
    RestoreCtx ctx;
    ctx.vmName = ctx.sourceVmName = line.value("name");
    ctx.resourceGroup = line.value("group");
    ctx.storageAccount = line.value("storage");
    return ctx;
}

int Create(PluginSession& s, const CommandLine& line, nlohmann::json& out, std::string& error) {
    RestoreCtx ctx = StandbyCtx(line);
    if (!s.plugin().CreateDRVM(ctx)) {
        error = s.failure("deploying standby VM [" + ctx.vmName + "]", VMINFO_ERR_RESTORE_DEPLOY);
        return kExitFailed;
    }
    out["vm"] = ctx.vmInfo.name;
    out["guid"] = ctx.vmInfo.guid;
    out["group"] = ctx.resourceGroup;
    return kExitOk;
}

int Delete(PluginSession& s, const CommandLine& line, nlohmann::json& out, std::string& error) {
    RestoreCtx ctx = StandbyCtx(line);
    if (!s.plugin().DeleteDRVM(ctx)) {
        // The plugin keeps the cloud's text only; the VM it looked for is what failed.
        error = s.failure("deleting standby VM [" + ctx.vmName + "]", VMINFO_ERR_VM_NOT_FOUND);
        return kExitFailed;
    }
    out["vm"] = ctx.vmName;
    out["guid"] = ctx.vmInfo.guid;
    out["deleted"] = true;
    out["disksKept"] = true;
    return kExitOk;
}

int Cleanup(PluginSession& s, const CommandLine& line, nlohmann::json& out, std::string& error) {
    RestoreCtx ctx = StandbyCtx(line);
    if (!s.plugin().PostVMFailover(ctx)) {
        error = s.failure("cleaning up after the failover of VM [" + ctx.vmName + "]", VMINFO_ERR_VM_NOT_FOUND);
        return kExitFailed;
    }
    out["vm"] = ctx.vmName;
    out["stagingRemoved"] = true;
    return kExitOk;
}

}  // namespace

int RunStandby(int argc, char** argv, CancelSignal& cancel) {
    const std::map<std::string, Subcommand> subs = {
        {"create", {kCreateUsage, kOptions, {"name", "group", "storage"}, Create}},
        {"delete", {kDeleteUsage, kOptions, {"name", "group"}, Delete}},
        {"failover-cleanup", {kCleanupUsage, kOptions, {"name", "group"}, Cleanup}},
    };
    return Dispatch(argc, argv, "standby", subs, cancel);
}

}  // namespace vsagent
