// Snapshot-engine services of the plugin base class: engine kind, the
// application-aware hook and the archive-file registry of the snapshot catalog.
#include <mutex>

#include "host/log/EvDebug.h"
#include "host/snap/CVMSnapUtil.h"
#include "host/snap/SnapCatalog.h"
#include "host/vminfo/CVMInfo.h"

namespace {

std::mutex g_workflowMutex;
std::function<int(const std::string&)> g_appawareWorkflow;

const char* const kArchiveTag = "int CVMInfo::CreateArchiveFileForSnapBackup(const MountCtx&, std::uint32_t&, const std::string&)";
const char* const kInvalidateTag = "int CVMInfo::InvalidateArchiveFiles(const std::vector<std::uint32_t>&, NXJobID, std::uint32_t)";

}  // namespace

bool CVMInfo::isVVolSnap(std::uint32_t engine) const { return engine == SNAP_ENGINE_CLOUD_VVOL; }

void CVMInfo::SetAppawareWorkflow(std::function<int(const std::string& vmGuid)> workflow) {
    std::lock_guard<std::mutex> lock(g_workflowMutex);
    g_appawareWorkflow = std::move(workflow);
}

int CVMInfo::StartAppawareWorkflow(const std::string& vmGuid) {
    std::function<int(const std::string&)> workflow;
    {
        std::lock_guard<std::mutex> lock(g_workflowMutex);
        workflow = g_appawareWorkflow;
    }
    return workflow ? workflow(vmGuid) : 1;
}

int CVMInfo::CreateArchiveFileForSnapBackup(const MountCtx& ctx, std::uint32_t& archiveFileId,
                                            const std::string& vmGuid) {
    std::string error;
    if (snapcatalog::CreateArchiveFile(ctx.jobId, vmGuid, archiveFileId, error)) return 1;
    EvDebug::Error(kArchiveTag, "Cannot create an archive file for VM [%s] of job [%lld]: %s", vmGuid.c_str(),
                   ctx.jobId, error.c_str());
    return 0;
}

int CVMInfo::DownloadMetadataFiles(const MountCtx& ctx, const std::string& dir, const std::vector<std::string>& names) {
    return CVMSnapUtil(logEvent_).DownloadMetadataFiles(ctx, dir, names);
}

int CVMInfo::InvalidateArchiveFiles(const MountCtx& ctx) { return InvalidateArchiveFiles({}, ctx.jobId, ctx.orbitId); }

int CVMInfo::InvalidateArchiveFiles(const std::vector<std::uint32_t>& archiveFileIds, NXJobID jobId,
                                    std::uint32_t orbitId) {
    std::string error;
    if (snapcatalog::InvalidateArchiveFiles(archiveFileIds, jobId, error)) return 1;
    EvDebug::Error(kInvalidateTag, "Cannot invalidate archive files of job [%lld] (orbit [%u]): %s", jobId, orbitId,
                   error.c_str());
    return 0;
}

void CVMInfo::_DumpVolSnapInfo(const SMVolSnapInfo& info) { CVMSnapUtil(logEvent_).DumpVolSnapInfo(info); }
