// A plugin's snapshot operations: per-VM create, delete and prepare, the mount of a snap job's VM, and the
// catalogs of VM-centric jobs.
#include <boost/algorithm/string/case_conv.hpp>
#include <fstream>
#include <pugixml.hpp>
#include <thread>
#include <tuple>

#include "tests/plugin/snap/SnapFixture.h"

namespace snaptest {
namespace {

constexpr NXJobID kJob = 5000000000LL;  // 64-bit job ids key the job's VMs
constexpr NXJobID kOtherJob = 901;

SSnapEntityInfo Entity(const SVMBasicInfo& vm, const std::string& id = "", const std::string& ref = "") {
    return {vm.name, vm.guid, id, "", 77, ref, {}, -1};
}

class SnapOperations : public SnapTest {
protected:
    ~SnapOperations() override {
        SnapPlugin::_ForgetSnapV2VMs(kJob);
        SnapPlugin::_ForgetSnapV2VMs(kOtherJob);
    }

    // The mount context of one VM of VM-centric job `jobId`, mounted as child job `altJobId` with an archive file.
    MountCtx VmCentricCtx(const SVMBasicInfo& vm, NXJobID jobId, NXJobID altJobId) const {
        MountCtx ctx;
        ctx.isSnapJob = ctx.isVmCentric = true;
        ctx.snapEngine = SNAP_ENGINE_CLOUD_VVOL;
        ctx.jobId = jobId;
        ctx.altJobId = altJobId;
        ctx.vmName = vm.name;
        ctx.vmGuid = vm.guid;
        ctx.metadataDir = cloud.dir() + "/meta";
        ctx.vmList = {kWeb, kApp, kLegacy, kSecure};
        std::string error;
        EXPECT_TRUE(altJobId == 0 || snapcatalog::CreateArchiveFile(altJobId, vm.guid, ctx.vmInfo.archiveFileId, error))
            << error;
        return ctx;
    }
    // One attribute of each VM a catalog lists, in its order.
    static std::vector<std::string> Listed(const std::string& path, const char* attribute = "guid") {
        pugi::xml_document doc;
        EXPECT_TRUE(doc.load_file(path.c_str())) << path;
        std::vector<std::string> values;
        for (const pugi::xpath_node& vm : doc.select_nodes("//vm")) values.push_back(vm.node().attribute(attribute).value());
        return values;
    }
    std::string VmCatalog(const SVMBasicInfo& vm, NXJobID altJobId) const {
        return cloud.dir() + "/meta/VMCentric/" + vm.guid + "/vmsnap_" + std::to_string(altJobId) + ".xml";
    }
};
using VmCentric = SnapOperations;

// One VM's failure is its own status; only a single-VM operation reports it as the last error.
TEST_F(SnapOperations, CreateFailsOnlyTheFailingVmAndSetsTheLastErrorForASingleVm) {
    const LastError earlier{VMINFO_ERR_CONNECTION_LOST, "earlier"};
    using Row = std::tuple<std::string, std::vector<SVMBasicInfo>, const char*, std::vector<int>, LastError>;
    for (const auto& [inject, vms, fault, statuses, last] : std::vector<Row>{
             {"other," + boost::algorithm::to_upper_copy(kWeb.guid), {kWeb}, nullptr, {39},
              {VMINFO_ERR_VM_SNAPSHOT_CREATE, "Snapshot creation fault injected for the VM"}},
             {kWeb.guid, {kWeb, kLegacy}, nullptr, {39, 0}, earlier},
             {"", {kWeb}, "quota exceeded", {39}, {VMINFO_ERR_VM_SNAPSHOT_CREATE, "quota exceeded"}}}) {
        SCOPED_TRACE(inject + " VMs " + std::to_string(vms.size()));
        NXPlatformInfo::setValue("VirtualServer", "InjectFaultForVM", inject);
        if (fault) Fault("CreateVMSnapshot", 7, fault);
        auto plugin = Connected();
        plugin->SetLastVMError(earlier.first, earlier.second);
        SnapOperationCtx op{SNAP_OP_CREATE, {}};
        for (const SVMBasicInfo& vm : vms) op.entities.push_back(Entity(vm));
        EXPECT_EQ(1, plugin->PerformSnapOperation(op));
        std::vector<int> outcome;
        for (const SSnapEntityInfo& entity : op.entities) outcome.push_back(entity.status);
        EXPECT_EQ(statuses, outcome);
        EXPECT_EQ(last, plugin->Last());
        EXPECT_EQ(!inject.empty(), log.contains("void CAzureInfo::_CreateSnapshotForEntity(SSnapEntityInfo&, "
                                                "const string&, bool)",
                                                "Injecting snapshot creation fault for VM [web-linux01] [" +
                                                    kWeb.guid + "]"));
        log.clear();
    }
}

// A set is deleted by its id, or by its reference when the id is empty; naming none needs no call, and a refused
// deletion keeps its reference. Prepare clears references; an unknown operation fails every VM.
TEST_F(SnapOperations, DeletePrepareAndUnknownOperationsSetEachVmsOutcome) {
    using Outcome = std::tuple<int, std::string, std::string, std::string>;  // status, reference, failure
    auto plugin = Connected();
    SnapOperationCtx create{SNAP_OP_CREATE, {Entity(kWeb), Entity(kWeb)}};
    ASSERT_EQ(1, plugin->PerformSnapOperation(create));
    const std::string first = create.entities[0].snapshotId, second = create.entities[1].snapshotRef;
    const Outcome ok{SNAP_ENTITY_OK, "", "", ""};
    const std::string unknown = "Unknown snapshot operation [3]";
    using Row = std::tuple<SnapOperationCtx, const char*, int, std::vector<Outcome>, LastError>;
    for (auto [op, fault, result, outcomes, last] : std::vector<Row>{
             {{SNAP_OP_DELETE, {Entity(kWeb, first, first), Entity(kWeb, "", second), Entity(kWeb)}}, nullptr, 1,
              {ok, ok, ok}, {VMINFO_ERR_NONE, ""}},
             {{SNAP_OP_PREPARE, {Entity(kWeb, "", "r1"), Entity(kLegacy, "", "r2")}}, nullptr, 1, {ok, ok},
              {VMINFO_ERR_NONE, ""}},
             {{SNAP_OP_DELETE, {Entity(kWeb, "set-1", "set-1")}}, "locked", 1,
              {{SNAP_ENTITY_DELETE_FAILED, "set-1", kWeb.guid, "Failed to delete snapshot for VM"}},
              {VMINFO_ERR_SNAPSHOT_DELETE, "locked"}},
             {{3, {Entity(kWeb), Entity(kLegacy)}}, nullptr, 0,
              {{SNAP_ENTITY_UNKNOWN_OPERATION, "", kWeb.guid, unknown},
               {SNAP_ENTITY_UNKNOWN_OPERATION, "", kLegacy.guid, unknown}},
              {VMINFO_ERR_SNAP_OPERATION_UNKNOWN, unknown}}}) {
        SCOPED_TRACE("operation " + std::to_string(op.operation));
        if (fault) Fault("DeleteVMSnapshot", 7, fault);
        EXPECT_EQ(result, plugin->PerformSnapOperation(op));
        std::vector<Outcome> got;
        for (const SSnapEntityInfo& e : op.entities) got.emplace_back(e.status, e.snapshotRef, e.failure.guid, e.failure.reason);
        EXPECT_EQ(outcomes, got);
        EXPECT_EQ(last, plugin->Last());
    }
    const auto calls = cloud.journal("DeleteVMSnapshot");
    ASSERT_LE(2u, calls.size());
    EXPECT_EQ(second, calls[1]["args"]["snapshotRef"]);
}

TEST_F(SnapOperations, GetAFileIDAnswersFromTheJobsVmsForVVolEnginesOnly) {
    using Row = std::tuple<std::uint32_t, std::string, int, std::uint32_t>;  // engine, VM, result, archive file
    for (const auto& [engine, guid, result, id] : std::vector<Row>{{SNAP_ENGINE_CLOUD_VVOL, kWeb.guid, 1, 7},
                                                                  {SNAP_ENGINE_CLOUD_VVOL, kApp.guid, 0, 99},
                                                                  {SNAP_ENGINE_STORAGE_ARRAY, kWeb.guid, 1, 99},
                                                                  {SNAP_ENGINE_STORAGE_ARRAY, "", 0, 99}}) {
        SCOPED_TRACE(std::to_string(engine) + " [" + guid + "]");
        auto plugin = Connected();
        MountCtx ctx;
        ctx.snapEngine = engine;
        ctx.vmGuid = guid;
        ctx.vmInfoByGuid[kWeb.guid].archiveFileId = 7;
        std::uint32_t got = 99;
        EXPECT_EQ(result, plugin->GetAFileID(ctx, "disk0", DISK_TYPE_VIRTUAL_DISK, got));
        EXPECT_EQ(id, got);
        EXPECT_EQ(result == 1 ? VMINFO_ERR_NONE : VMINFO_ERR_SNAP_RECORDS, plugin->GetLastVMError());
    }
}

// The snapshot phase's outcome per VM decides its mount; any failure keeps its own status and details, and a VM
// left without a snapshot loses its archive file.
TEST_F(SnapOperations, SnapJobMountFollowsTheVmsSnapshotStatus) {
    const std::string vm = "[web-linux01][" + kWeb.guid + "]";
    using Row = std::tuple<EVMInfoError, std::string, bool, std::string>;  // status, details, snapped, message
    for (const auto& [status, details, snapped, message] : std::vector<Row>{
             {VMINFO_ERR_VM_NOT_FOUND, "", true, "Virtual machine [web-linux01] is not found"},
             {VMINFO_ERR_VM_SNAPSHOT_CREATE, "engine text", true,
              "Failed to create snapshot for VM: " + vm + " during snapbackup phase"},
             {VMINFO_ERR_SNAP_MANAGED_VM_UNSUPPORTED, "", true,
              "Currently, Snap backup is NOT supported for Azure Managed VM : [web-linux01]"},
             {VMINFO_ERR_AZURE_STACK_MANAGED_UNSUPPORTED, "", true,
              "Backup is NOT supported for Azure Stack Managed VM : [web-linux01]"},
             {VMINFO_ERR_ALL_DISKS_FILTERED, "All disks are filtered", true,
              "Snap backup of VM " + vm + " failed with status [65]"},
             {VMINFO_ERR_NONE, "", true, ""},
             {VMINFO_ERR_NONE, "", false, "VM " + vm + " has no snapshot in snap job [77]"}}) {
        SCOPED_TRACE(std::to_string(status) + (snapped ? " snapped" : " no snapshot"));
        auto plugin = Connected();
        MountCtx ctx = VmCentricCtx(kWeb, 77, 77);
        ctx.isVmCentric = false;
        ctx.vmInfo.snapStatus = status;
        ctx.vmInfo.snapStatusDetails = details;
        if (snapped) ctx.vmInfoByGuid[kWeb.guid].snapshotGuid = "set-of-web";
        EXPECT_EQ(message.empty(), plugin->MountVM(ctx));
        EXPECT_EQ(LastError(snapped ? status : VMINFO_ERR_VM_SNAPSHOT_CREATE, details.empty() ? message : details),
                  plugin->Last());
        EXPECT_EQ(!message.empty(), log.containsError("bool CAzureInfo::_MountVM_Snap_Backup(const MountCtx&)", message));
        EXPECT_EQ(snapped, ArchiveFileValid(ctx.vmInfo.archiveFileId, 77));
        EXPECT_NE(0, ctx.referenceTime);
        log.clear();
    }
}

// Each VM is snapped alone under its child job and catalogued; the job-level catalog lists the job's VMs once
// each, with the record of a VM's first mount; a VM whose mount fails is left out and its archive file voided.
TEST_F(VmCentric, MountCataloguesAndSnapsEachVmAndPostSnapListsTheJobsVms) {
    auto plugin = Connected();
    MountCtx web = VmCentricCtx(kWeb, kJob, 11);
    ASSERT_EQ(1, plugin->MountVM(web));
    EXPECT_EQ(3u, log.texts("int CVMSnapUtil::GenerateMetadataXML(const MountCtx&, const SDatastoreInfo&, "
                            "const std::vector<SVolSnap>&)").size());
    EXPECT_EQ(std::vector<std::string>{VmCatalog(kWeb, 11)}, plugin->indexUploadFiles);
    EXPECT_EQ(std::vector<std::string>{kWeb.guid}, Listed(VmCatalog(kWeb, 11)));
    EXPECT_TRUE(ArchiveFileValid(web.vmInfo.archiveFileId, 11));

    // The catalog path falls back to the job's metadata folder when the VM has none.
    std::string path;
    web.snapMetadataFolder.clear();
    plugin->_GenerateVMSnapMetadataFilePath_VMCentric(web, path);
    EXPECT_EQ(cloud.dir() + "/meta/vmsnap_11.xml", path);

    // The injected fault fails the snapshot without a cloud call, as a cancelled job makes none.
    for (const bool cancel : {true, false}) {
        SCOPED_TRACE(cancel ? "cancelled" : "snapshot fails");
        NXPlatformInfo::setValue("VirtualServer", "InjectFaultForVM", cancel ? "" : kSecure.guid);
        auto failing = Connected();
        if (cancel) failing->CancelJob();
        MountCtx ctx = VmCentricCtx(kSecure, kJob, 20 + cancel);
        EXPECT_EQ(0, failing->MountVM(ctx));
        EXPECT_EQ(cancel ? VMINFO_ERR_JOB_CANCELLED : VMINFO_ERR_SNAPSHOT_SET_CREATE, failing->GetLastVMError());
        EXPECT_EQ(!cancel, std::filesystem::exists(VmCatalog(kSecure, 20 + cancel)));
        EXPECT_FALSE(ArchiveFileValid(ctx.vmInfo.archiveFileId, 20 + cancel));
    }
    const auto snapshots = cloud.journal("CreateVMSnapshot");
    ASSERT_EQ(1u, snapshots.size());
    EXPECT_EQ(11, snapshots[0]["args"]["jobId"]);
    NXPlatformInfo::removeValue("VirtualServer", "InjectFaultForVM");

    // Mounted again, the VM keeps the record of its first mount; another job's VM stays out.
    MountCtx again = VmCentricCtx(kWeb, kJob, 12), legacy = VmCentricCtx(kLegacy, kJob, 13);
    MountCtx app = VmCentricCtx(kApp, kOtherJob, 14);
    ASSERT_EQ(1, plugin->MountVM(again));
    EXPECT_EQ(std::vector<std::string>{VmCatalog(kWeb, 12)}, plugin->indexUploadFiles);
    ASSERT_EQ(1, Connected()->MountVM(legacy));
    ASSERT_EQ(1, Connected()->MountVM(app));
    auto post = Connected();
    MountCtx job = VmCentricCtx(kWeb, kJob, 0);
    ASSERT_EQ(1, post->PostSnap(job));
    EXPECT_NE(web.vmInfo.snapshotGuid, again.vmInfo.snapshotGuid);
    EXPECT_EQ((std::vector<std::string>{legacy.vmInfo.snapshotGuid, web.vmInfo.snapshotGuid}),
              Listed(post->indexUploadFiles.back(), "snapshotGuid"));
    EXPECT_EQ(0u, SnapPlugin::c_SnapV2VMInfoMap.count(kJob));

    // A job that is not VM-centric writes no catalog; a catalog that cannot be written fails the job, which ends.
    MountCtx other = VmCentricCtx(kApp, kOtherJob, 0);
    other.isVmCentric = false;
    EXPECT_EQ(1, post->PostSnap(other));
    EXPECT_EQ(1u, SnapPlugin::c_SnapV2VMInfoMap.count(kOtherJob));
    std::ofstream(cloud.dir() + "/plain") << "not a folder";
    other.isVmCentric = true;
    other.metadataDir = cloud.dir() + "/plain/meta";
    EXPECT_EQ(0, post->PostSnap(other));
    EXPECT_EQ(VMINFO_ERR_SNAP_RECORDS, post->GetLastVMError());
    EXPECT_EQ(0u, SnapPlugin::c_SnapV2VMInfoMap.count(kOtherJob));
}

// Eight plugin objects mount VMs of one job at once; each VM is recorded exactly once.
TEST_F(VmCentric, EightThreadsMountVmsOfOneJobAndTheCatalogListsEachOnce) {
    const SVMBasicInfo vms[] = {kWeb, kApp, kLegacy, kSecure};
    std::vector<MountCtx> contexts;
    for (int i = 0; i < 8; ++i) contexts.push_back(VmCentricCtx(vms[i % 4], kJob, 100 + i));
    std::vector<int> results(8, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] { results[i] = Connected()->MountVM(contexts[i]); });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(std::vector<int>(8, 1), results);
    auto post = Connected();
    MountCtx job = VmCentricCtx(kWeb, kJob, 0);
    ASSERT_EQ(1, post->PostSnap(job));
    EXPECT_EQ((std::vector<std::string>{kLegacy.guid, kWeb.guid, kApp.guid, kSecure.guid}),
              Listed(post->indexUploadFiles.back()));
}

}  // namespace
}  // namespace snaptest
