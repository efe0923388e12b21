#include "agent/job/ErrorAdvice.h"

#include <map>

namespace vsagent {

ErrorAdvice AdviceFor(int code) {
    static const std::map<int, ErrorAdvice> kAdvice = {
        {1, {"the VM was not found", "check the name with 'vsagent browse VMs' and give --group if names repeat"}},
        {6, {"the storage account's details are not available", "check the account name with 'vsagent browse \"Storage Accounts\"' or leave --storage out"}},
        {10, {"a VM of that name already exists", "give another --name, or --overwrite to replace the VM"}},
        {13, {"the job's mount folder cannot be prepared", "check that the store folder is writable"}},
        {17, {"the backup snapshot of the VM's disks was not created", "retry; if it persists, check the VM's disks in the cloud"}},
        {28, {"the VM configuration files of the snapshot cannot be fetched", "run a new 'vsagent snap backup' of the VM"}},
        {29, {"the snapshot job's records cannot be read or hold no snapshot", "check the job number with 'vsagent snap list'"}},
        {30, {"no archive file could be created for the VM's snapshot", "check that the store folder is writable, then retry"}},
        {31, {"the snapshot job's VM list cannot be read", "check the job number with 'vsagent snap list'"}},
        {32, {"no VM of the snapshot job could be prepared", "check the VM names with 'vsagent browse VMs'"}},
        {39, {"the VM's snapshot was not created", "see the job log for the cloud's answer, then snap the VM again"}},
        {59, {"the VM's snapshot is not among the job's snapshots", "snap the VM again"}},
        {116, {"a snapshot could not be deleted", "see the job log for the cloud's answer, then retry"}},
        {294, {"a disk's snapshot of the job no longer exists", "snap the VM again"}},
        {295, {"a disk's snapshots cannot be listed", "retry; see the job log for the cloud's answer"}},
        {5002, {"the VM's files cannot be found in the snapshot job's metadata", "snap the VM again"}},
        {41, {"the VM configuration file cannot be written", "check free space and permissions of the store folder"}},
        {44, {"disk information of the VM is not available", "retry; check that the VM's disks still exist"}},
        {48, {"the connection to the cloud was lost", "check the network and the credentials, then retry"}},
        {20, {"the restore cannot be deployed", "read the details; check the size, region, network and disks asked for"}},
        {54, {"the disks cannot be attached", "check the target VM's size and free LUNs"}},
        {61, {"the existing VM cannot be deleted", "check the VM in the cloud, or restore under another --name"}},
        {71, {"a disk of the restored name already exists", "give another --name, or --overwrite to replace the disks"}},
        {65, {"every disk of the VM is filtered out", "change the job's disk filters"}},
        {73, {"the VM holds its maximum number of backup snapshots", "delete old backup snapshots or raise nBackupSnapshotLimit"}},
        {182, {"the VM configuration or its key backups cannot be read", "check the application's permissions on the VM and its key vault"}},
        {187, {"the job's mount folder vanished during the job", "do not remove job folders while a backup runs; retry"}},
        {186, {"the restore needs a cloud file system this platform does not have", "unset bIgnoreBootFailuresOnRestoredVM and retry"}},
        {198, {"no VM size fits the restore", "give --size with a size the region offers that fits the VM's disks, NICs and zones"}},
        {247, {"the deployment could not be deferred", "retry; see the job log for the cloud's answer"}},
        {260, {"every disk of the VM is an Ultra SSD disk", "Ultra SSD disks cannot be backed up from snapshots"}},
        {265, {"no permission on the keys of the VM's key vault", "grant the application get/list on keys"}},
        {266, {"no permission on the secrets of the VM's key vault", "grant the application get/list on secrets"}},
        {276, {"the key-vault permission check failed", "check the key vault and retry"}},
        {280, {"the VM's key vault does not exist", "restore the key vault or remove the VM's encryption settings"}},
        {281, {"an encrypted VM cannot be restored into another subscription", "restore it into the subscription it was backed up from"}},
        {285, {"the key vault refuses connections from this network", "allow this network in the key vault's firewall"}},
        {4000, {"the job was cancelled", "run the job again when convenient"}},
    };
    auto it = kAdvice.find(code);
    if (it != kAdvice.end()) return it->second;
    return {"the operation failed", "see the job log (--log FILE) for the plugin's messages, then retry"};
}

}  // namespace vsagent
