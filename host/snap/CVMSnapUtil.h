// Snapshot-metadata utility of snapshot-engine jobs. It drives the installed
// snapshot engine, persists a job's snap records, writes, reads and updates
// the job's snap metadata XML and the VM-centric catalogs, and keeps the
// index cache: the folder to which a job's metadata files are uploaded and
// from which a later job downloads them.
//
// Everything lives below one catalog folder (SetCatalogRoot), per job id:
// the snap records, the index cache and, in the base class, the archive-file
// registry. A plugin creates one utility per object, bound to its log event.
// Every int result is 1 on success and 0 on failure (with a logged reason).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/log/JobIdentity.h"
#include "host/snap/ISnapEngine.h"
#include "host/snap/SnapRecords.h"
#include "plugin/frame/records/Contexts.h"

class CVMSnapUtil {
public:
    explicit CVMSnapUtil(const EvEvent& logEvent) : logEvent_(logEvent) {}
    const EvEvent& GetLogEvent() const { return logEvent_; }

    // Process-wide: the catalog folder (created when missing) and the engine CreateHWSnapshot drives.
    static void SetCatalogRoot(const std::string& dir);
    static std::string GetCatalogRoot();
    static void InstallEngine(std::shared_ptr<ISnapEngine> engine);

    // Takes the snapshots of every volume of info through the engine, then persists info under the
    // job id of its volumes. Fails when no engine is installed, the engine fails, no volume was
    // snapped, or a volume failed while info's action flags lack VOLSNAP_ACTIONFLAGS_PARTIAL_SNAP.
    int CreateHWSnapshot(const MountCtx& ctx, SMVolSnapInfo& info);
    // Loads the records CreateHWSnapshot persisted for ctx.refJobId (ctx.altJobId when vmCentric).
    int GetVOLSNAPInfo(const MountCtx& ctx, SMVolSnapInfo& info, bool vmCentric);
    // Writes the datastore and the VMs of its group into the job XML (VM-centric: the VM's catalog),
    // adding to what an earlier call of the same job wrote.
    int GenerateMetadataXML(const MountCtx& ctx, const VMInfoStructs::SDatastoreInfo& datastore,
                            const std::vector<VMInfoStructs::SVolSnap>& groups);
    // "backup_<jobId>.xml": the job XML.
    std::string GetSnapMetadataFileName(NXJobID jobId) const;
    // The VM-level catalog file name of a VM-centric child job (ctx.refJobId).
    std::string GetSnapMetadataFileName(const MountCtx& ctx) const;
    // Sets the status code and details of one VM (by GUID; name for the log) in the XML at path.
    int SetVMStatusInMetadataXml(const std::string& path, const std::string& vmName, const std::string& vmGuid,
                                 std::uint32_t code, const std::string& details);
    // Copies names (paths relative to a job's metadata folder) from the index cache of ctx.refJobId into dir.
    int DownloadMetadataFiles(const MountCtx& ctx, const std::string& dir, const std::vector<std::string>& names);
    // Copies files (each below ctx.metadataDir) into the index cache of ctx.jobId, keeping their relative paths.
    int UploadIndexFiles(const MountCtx& ctx, const std::vector<std::string>& files);
    // The datastores and VMs of the job XML of ctx.refJobId, and the groups (one per datastore) they form.
    int UpdateVMList(std::vector<VMInfoStructs::SDatastoreInfo>& datastores, const MountCtx& ctx,
                     std::vector<VMInfoStructs::SVolSnap>& groups);
    // Reads the datastores with their VMs from the job XML of ctx.refJobId in ctx.metadataDir
    // (VM-centric: the VM's catalog in ctx.snapMetadataFolder).
    int ReadSnapMetadataXML(std::vector<VMInfoStructs::SDatastoreInfo>& datastores, const MountCtx& ctx);
    // Copies the VM configuration files named by files (their base names) from the index cache of
    // ctx.refJobId (the VM's folder ctx.vmInfo.guid) to those paths. Missing key backups are skipped;
    // a missing configuration file fails.
    int DownloadVMFiles(const MountCtx& ctx, const std::string& localDir, const std::vector<std::string>& files);
    // The metadata folder of one VM of a VM-centric job (below ctx.metadataDir).
    std::string GetSnapMetadataFolderForVM(const MountCtx& ctx, const std::string& vmGuid) const;
    // Writes the job-level catalog of a VM-centric job listing vms; path receives its path.
    int GenerateSnapBackupCatalogXml(const MountCtx& ctx, std::string& path, const SnapVMInfoMap& vms);
    // True for a job that copies an earlier snapshot-engine job's snapshots to the backup store.
    bool IsBackupCopyJob(const MountCtx& ctx) const;
    // Writes info to the log, one line per volume, snapshot and map entry.
    void DumpVolSnapInfo(const SMVolSnapInfo& info) const;

private:
    const EvEvent& logEvent_;
};
