// Snapshot-metadata utility: snapshot engine, snap records, job metadata XML,
// VM-centric catalogs and the index cache.
#include "host/snap/CVMSnapUtil.h"

#include <algorithm>
#include <filesystem>
#include <mutex>

#include <boost/algorithm/string/predicate.hpp>

#include "host/log/EvDebug.h"
#include "host/snap/SnapCatalog.h"
#include "host/snap/SnapXml.h"

namespace fs = std::filesystem;
using VMInfoStructs::SDatastoreInfo;
using VMInfoStructs::SVMBasicInfo;
using VMInfoStructs::SVMInfo;
using VMInfoStructs::SVolSnap;

namespace {

const char* const kCreateTag = "int CVMSnapUtil::CreateHWSnapshot(const MountCtx&, SMVolSnapInfo&)";
const char* const kGetInfoTag = "int CVMSnapUtil::GetVOLSNAPInfo(const MountCtx&, SMVolSnapInfo&, bool)";
const char* const kGenerateTag =
    "int CVMSnapUtil::GenerateMetadataXML(const MountCtx&, const SDatastoreInfo&, const std::vector<SVolSnap>&)";
const char* const kStatusTag =
    "int CVMSnapUtil::SetVMStatusInMetadataXml(const std::string&, const std::string&, const std::string&, "
    "std::uint32_t, const std::string&)";
const char* const kDownloadTag =
    "int CVMSnapUtil::DownloadMetadataFiles(const MountCtx&, const std::string&, const std::vector<std::string>&)";
const char* const kUploadTag = "int CVMSnapUtil::UploadIndexFiles(const MountCtx&, const std::vector<std::string>&)";
const char* const kReadTag = "int CVMSnapUtil::ReadSnapMetadataXML(std::vector<SDatastoreInfo>&, const MountCtx&)";
const char* const kVmFilesTag =
    "int CVMSnapUtil::DownloadVMFiles(const MountCtx&, const std::string&, const std::vector<std::string>&)";
const char* const kCatalogTag =
    "int CVMSnapUtil::GenerateSnapBackupCatalogXml(const MountCtx&, std::string&, const SnapVMInfoMap&)";
const char* const kDumpTag = "void CVMSnapUtil::DumpVolSnapInfo(const SMVolSnapInfo&) const";

std::mutex g_engineMutex;
std::shared_ptr<ISnapEngine> g_engine;

std::shared_ptr<ISnapEngine> Engine() {
    std::lock_guard<std::mutex> lock(g_engineMutex);
    return g_engine;
}

int Fail(const char* tag, const std::string& text) {
    EvDebug::Error(tag, "%s", text.c_str());
    return 0;
}

std::string RecordsPath(const std::string& folder) { return (fs::path(folder) / "volsnap.xml").string(); }

// A name used as one path part: not empty, no separator, not "." or "..".
bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos;
}

}  // namespace

void CVMSnapUtil::SetCatalogRoot(const std::string& dir) { snapcatalog::SetRoot(dir); }

std::string CVMSnapUtil::GetCatalogRoot() { return snapcatalog::Root(); }

void CVMSnapUtil::InstallEngine(std::shared_ptr<ISnapEngine> engine) {
    std::lock_guard<std::mutex> lock(g_engineMutex);
    g_engine = std::move(engine);
}

int CVMSnapUtil::CreateHWSnapshot(const MountCtx& ctx, SMVolSnapInfo& info) {
    const std::shared_ptr<ISnapEngine> engine = Engine();
    if (!engine) return Fail(kCreateTag, "No snapshot engine is installed");
    if (info.volumes.empty()) return Fail(kCreateTag, "No volumes to snap");
    info.jobId = info.volumes.front().jobId;
    const bool ran = engine->TakeSnapshots(ctx, info);
    // What the engine took is recorded even when it stopped half-way, so that it can be found and removed.
    std::string folder, error;
    if (!snapcatalog::RecordsFolder(info.jobId, folder, error)) return Fail(kCreateTag, error);
    pugi::xml_document doc;
    snapxml::WriteVolSnapInfo(doc.append_child("volSnapInfo"), info);
    if (!snapxml::SaveAtomically(doc, RecordsPath(folder), error)) return Fail(kCreateTag, error);
    if (!ran) return Fail(kCreateTag, "The snapshot engine failed for job [" + std::to_string(info.jobId) + "]");
    const std::size_t taken = info.numOfSnap();
    EvDebug::Debug(kCreateTag, "Snapped [%zu] of [%zu] volumes of job [%lld]", taken, info.volumes.size(),
                   info.jobId);
    if (taken == 0) return Fail(kCreateTag, "No volume of the job could be snapped");
    if (taken < info.volumes.size() && (info.getSnapActionFlagsEx() & VOLSNAP_ACTIONFLAGS_PARTIAL_SNAP) == 0)
        return Fail(kCreateTag, "Part of the volumes could not be snapped and partial snapshots are not allowed");
    return 1;
}

int CVMSnapUtil::GetVOLSNAPInfo(const MountCtx& ctx, SMVolSnapInfo& info, bool vmCentric) {
    const NXJobID jobId = vmCentric ? ctx.altJobId : ctx.refJobId;
    std::string folder, error;
    if (!snapcatalog::RecordsFolder(jobId, folder, error)) return Fail(kGetInfoTag, error);
    const std::string path = RecordsPath(folder);
    if (!fs::exists(path)) return Fail(kGetInfoTag, "No snap records for job [" + std::to_string(jobId) + "]");
    pugi::xml_document doc;
    if (!snapxml::Load(path, doc, error) || !snapxml::ReadVolSnapInfo(doc.child("volSnapInfo"), info, error))
        return Fail(kGetInfoTag, "Snap records of job [" + std::to_string(jobId) + "]: " + error);
    return 1;
}

namespace {

std::string MetadataPath(const CVMSnapUtil& util, const MountCtx& ctx, NXJobID jobId) {
    if (!ctx.isVmCentric) return (fs::path(ctx.metadataDir) / util.GetSnapMetadataFileName(jobId)).string();
    const std::string folder = ctx.snapMetadataFolder.empty() ? ctx.metadataDir : ctx.snapMetadataFolder;
    return (fs::path(folder) / util.GetSnapMetadataFileName(ctx)).string();
}

void WriteDatastore(pugi::xml_node root, const SDatastoreInfo& datastore, const std::vector<SVMInfo>& vms) {
    for (pugi::xml_node old = root.find_child_by_attribute("datastore", "name", datastore.name.c_str()); old;
         old = root.find_child_by_attribute("datastore", "name", datastore.name.c_str()))
        root.remove_child(old);
    pugi::xml_node node = root.append_child("datastore");
    node.append_attribute("name") = datastore.name.c_str();
    node.append_attribute("displayName") = datastore.displayName.c_str();
    node.append_attribute("region") = datastore.region.c_str();
    node.append_attribute("skuName") = datastore.skuName.c_str();
    node.append_attribute("volumeSlot") = datastore.volumeSlot;
    for (const SVMInfo& vm : vms) snapxml::WriteVm(node.append_child("vm"), vm);
}

bool ReadDatastores(const pugi::xml_node& root, std::vector<SDatastoreInfo>& datastores, std::string& error) {
    std::vector<SDatastoreInfo> read;
    for (const pugi::xml_node& node : root.children("datastore")) {
        SDatastoreInfo datastore;
        datastore.name = node.attribute("name").value();
        datastore.displayName = node.attribute("displayName").value();
        datastore.region = node.attribute("region").value();
        datastore.skuName = node.attribute("skuName").value();
        datastore.volumeSlot = node.attribute("volumeSlot").as_int(0);
        for (const pugi::xml_node& vmNode : node.children("vm")) {
            SVMInfo vm;
            if (!snapxml::ReadVm(vmNode, vm, error)) return false;
            datastore.vmList.push_back(vm);
        }
        read.push_back(datastore);
    }
    datastores = read;
    return true;
}

}  // namespace

int CVMSnapUtil::GenerateMetadataXML(const MountCtx& ctx, const SDatastoreInfo& datastore,
                                     const std::vector<SVolSnap>& groups) {
    const NXJobID jobId = ctx.isVmCentric ? ctx.refJobId : ctx.jobId;
    const std::string path = MetadataPath(*this, ctx, jobId);
    pugi::xml_document doc;
    std::string error;
    if (fs::exists(path) && !snapxml::Load(path, doc, error)) return Fail(kGenerateTag, error);
    pugi::xml_node root = doc.child("snapMetadata");
    if (!root) {
        root = doc.append_child("snapMetadata");
        root.append_attribute("jobId") = jobId;
    }
    for (const SVolSnap& group : groups)
        if (group.name != datastore.name) WriteDatastore(root, group.datastore, group.vmList);
    WriteDatastore(root, datastore, datastore.vmList);
    if (!snapxml::SaveAtomically(doc, path, error)) return Fail(kGenerateTag, error);
    EvDebug::Debug(kGenerateTag, "Wrote datastore [%s] with [%zu] VMs to [%s]", datastore.name.c_str(),
                   datastore.vmList.size(), path.c_str());
    return 1;
}

std::string CVMSnapUtil::GetSnapMetadataFileName(NXJobID jobId) const {
    return "backup_" + std::to_string(jobId) + ".xml";
}

std::string CVMSnapUtil::GetSnapMetadataFileName(const MountCtx& ctx) const {
    return "vmsnap_" + std::to_string(ctx.refJobId) + ".xml";
}

int CVMSnapUtil::SetVMStatusInMetadataXml(const std::string& path, const std::string& vmName,
                                          const std::string& vmGuid, std::uint32_t code, const std::string& details) {
    pugi::xml_document doc;
    std::string error;
    if (!snapxml::Load(path, doc, error)) return Fail(kStatusTag, error);
    for (pugi::xml_node datastore : doc.child("snapMetadata").children("datastore"))
        for (pugi::xml_node vm : datastore.children("vm")) {
            if (!boost::algorithm::iequals(vm.attribute("guid").value(), vmGuid)) continue;
            vm.attribute("snapStatus") = code;
            vm.attribute("snapStatusDetails") = details.c_str();
            if (!snapxml::SaveAtomically(doc, path, error)) return Fail(kStatusTag, error);
            EvDebug::Debug(kStatusTag, "VM [%s][%s] status [%u] in [%s]", vmName.c_str(), vmGuid.c_str(), code,
                           path.c_str());
            return 1;
        }
    return Fail(kStatusTag, "VM [" + vmName + "][" + vmGuid + "] is not in snap metadata file [" + path + "]");
}

int CVMSnapUtil::DownloadMetadataFiles(const MountCtx& ctx, const std::string& dir,
                                       const std::vector<std::string>& names) {
    std::string index, error;
    if (!snapcatalog::IndexFolder(ctx.refJobId, index, error)) return Fail(kDownloadTag, error);
    for (const std::string& name : names) {
        if (!snapcatalog::IsContainedRelativePath(name))
            return Fail(kDownloadTag, "Metadata file name [" + name + "] is not a path inside the job's index");
        const fs::path source = fs::path(index) / name;
        if (!fs::is_regular_file(source))
            return Fail(kDownloadTag, "Metadata file [" + name + "] is not in the index of job [" +
                                          std::to_string(ctx.refJobId) + "]");
        if (!snapcatalog::CopyFile(source.string(), (fs::path(dir) / name).string(), error))
            return Fail(kDownloadTag, error);
    }
    return 1;
}

int CVMSnapUtil::UploadIndexFiles(const MountCtx& ctx, const std::vector<std::string>& files) {
    std::string index, error;
    if (!snapcatalog::IndexFolder(ctx.jobId, index, error)) return Fail(kUploadTag, error);
    const fs::path base = fs::path(ctx.metadataDir).lexically_normal();
    for (const std::string& file : files) {
        const std::string relative = fs::path(file).lexically_normal().lexically_relative(base).string();
        if (ctx.metadataDir.empty() || !snapcatalog::IsContainedRelativePath(relative))
            return Fail(kUploadTag, "File [" + file + "] is not inside the job's metadata folder");
        if (!snapcatalog::CopyFile(file, (fs::path(index) / relative).string(), error))
            return Fail(kUploadTag, error);
    }
    return 1;
}

int CVMSnapUtil::UpdateVMList(std::vector<SDatastoreInfo>& datastores, const MountCtx& ctx,
                              std::vector<SVolSnap>& groups) {
    if (!ReadSnapMetadataXML(datastores, ctx)) return 0;
    groups.clear();
    for (const SDatastoreInfo& datastore : datastores) {
        SVolSnap group;
        group.name = group.displayName = datastore.name;
        group.vmList = datastore.vmList;
        for (const SVMInfo& vm : datastore.vmList) group.vmBasicList.push_back({vm.name, vm.guid, vm.resourceGroup});
        group.datastore = datastore;
        groups.push_back(group);
    }
    return 1;
}

int CVMSnapUtil::ReadSnapMetadataXML(std::vector<SDatastoreInfo>& datastores, const MountCtx& ctx) {
    const std::string path = MetadataPath(*this, ctx, ctx.refJobId);
    pugi::xml_document doc;
    std::string error;
    if (!snapxml::Load(path, doc, error)) return Fail(kReadTag, error);
    const pugi::xml_node root = doc.child("snapMetadata");
    if (!root) return Fail(kReadTag, "[" + path + "] is not a snap metadata file");
    if (!ReadDatastores(root, datastores, error)) return Fail(kReadTag, "[" + path + "]: " + error);
    return 1;
}

int CVMSnapUtil::DownloadVMFiles(const MountCtx& ctx, const std::string& localDir,
                                 const std::vector<std::string>& files) {
    std::string index, error;
    if (!snapcatalog::IndexFolder(ctx.refJobId, index, error)) return Fail(kVmFilesTag, error);
    if (!IsPlainName(ctx.vmInfo.guid)) return Fail(kVmFilesTag, "VM GUID [" + ctx.vmInfo.guid + "] is not a name");
    const fs::path folder = fs::path(index) / "Metadata" / std::to_string(ctx.refJobId) / ctx.vmInfo.guid;
    for (const std::string& file : files) {
        const std::string name = fs::path(file).filename().string();
        const fs::path source = folder / name;
        if (!fs::is_regular_file(source)) {
            if (name == "dek.bkp" || name == "kek.bkp") continue;  // only VMs with encrypted disks have them
            return Fail(kVmFilesTag, "VM file [" + name + "] is not in the index of job [" +
                                         std::to_string(ctx.refJobId) + "]");
        }
        if (!snapcatalog::CopyFile(source.string(), file, error)) return Fail(kVmFilesTag, error);
    }
    EvDebug::Debug(kVmFilesTag, "Copied the files of VM [%s] to [%s]", ctx.vmInfo.guid.c_str(), localDir.c_str());
    return 1;
}

std::string CVMSnapUtil::GetSnapMetadataFolderForVM(const MountCtx& ctx, const std::string& vmGuid) const {
    if (!IsPlainName(vmGuid)) return "";
    return (fs::path(ctx.metadataDir) / "VMCentric" / vmGuid).string();
}

int CVMSnapUtil::GenerateSnapBackupCatalogXml(const MountCtx& ctx, std::string& path, const SnapVMInfoMap& vms) {
    std::vector<const SVMInfo*> sorted;
    for (const auto& entry : vms) sorted.push_back(&entry.second);
    std::sort(sorted.begin(), sorted.end(), [](const SVMInfo* a, const SVMInfo* b) { return a->guid < b->guid; });
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("snapCatalog");
    root.append_attribute("jobId") = ctx.jobId;
    for (const SVMInfo* vm : sorted) snapxml::WriteVm(root.append_child("vm"), *vm);
    const std::string target = (fs::path(ctx.metadataDir) / ("catalog_" + std::to_string(ctx.jobId) + ".xml")).string();
    std::string error;
    if (!snapxml::SaveAtomically(doc, target, error)) return Fail(kCatalogTag, error);
    path = target;
    return 1;
}

bool CVMSnapUtil::IsBackupCopyJob(const MountCtx& ctx) const { return ctx.isBackupCopy; }

void CVMSnapUtil::DumpVolSnapInfo(const SMVolSnapInfo& info) const {
    EvDebug::Debug(kDumpTag, "Job [%lld] action flags [0x%llx] volumes [%zu] snaps [%zu]", info.jobId,
                   static_cast<unsigned long long>(info.getSnapActionFlagsEx()), info.volumes.size(),
                   info.snaps.size());
    for (const SMVolumeInfo& v : info.volumes)
        EvDebug::Debug(kDumpTag, "Volume [%u] VM [%s][%s] source [%s] job [%lld] archive file [%u] flags [0x%llx]",
                       v.volumeId, v.sourceDevice.c_str(), v.sourceGuid.c_str(), v.sourcePath.c_str(), v.jobId,
                       v.archiveFileId, static_cast<unsigned long long>(v.volumeFlags));
    for (const SMSnapInfo& s : info.snaps)
        EvDebug::Debug(kDumpTag, "Snap [%u] [%s] status [%d] error [%d]", s.snapId, s.uniqueIdentifier.c_str(),
                       s.status, s.errorCode);
    for (const SMVolSnapMapInfo& m : info.volSnapMap)
        EvDebug::Debug(kDumpTag, "Volume [%u] -> snap [%u]", m.volumeId, m.snapId);
}
