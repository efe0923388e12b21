#include "agent/job/ErrorAdvice.h"

#include <map>

namespace vsagent {

ErrorAdvice AdviceFor(int code) {
    static const std::map<int, ErrorAdvice> kAdvice = {
        {1, {"the VM was not found", "check the name with 'vsagent browse VMs' and give --group if names repeat"}},
        {13, {"the job's mount folder cannot be prepared", "check that the store folder is writable"}},
        {17, {"the backup snapshot of the VM's disks was not created", "retry; if it persists, check the VM's disks in the cloud"}},
        {41, {"the VM configuration file cannot be written", "check free space and permissions of the store folder"}},
        {44, {"disk information of the VM is not available", "retry; check that the VM's disks still exist"}},
        {48, {"the connection to the cloud was lost", "check the network and the credentials, then retry"}},
        {65, {"every disk of the VM is filtered out", "change the job's disk filters"}},
        {73, {"the VM holds its maximum number of backup snapshots", "delete old backup snapshots or raise nBackupSnapshotLimit"}},
        {182, {"the VM configuration or its key backups cannot be read", "check the application's permissions on the VM and its key vault"}},
        {187, {"the job's mount folder vanished during the job", "do not remove job folders while a backup runs; retry"}},
        {260, {"every disk of the VM is an Ultra SSD disk", "Ultra SSD disks cannot be backed up from snapshots"}},
        {265, {"no permission on the keys of the VM's key vault", "grant the application get/list on keys"}},
        {266, {"no permission on the secrets of the VM's key vault", "grant the application get/list on secrets"}},
        {276, {"the key-vault permission check failed", "check the key vault and retry"}},
        {280, {"the VM's key vault does not exist", "restore the key vault or remove the VM's encryption settings"}},
        {285, {"the key vault refuses connections from this network", "allow this network in the key vault's firewall"}},
        {4000, {"the job was cancelled", "run the backup again when convenient"}},
    };
    auto it = kAdvice.find(code);
    if (it != kAdvice.end()) return it->second;
    return {"the operation failed", "see the job log (--log FILE) for the plugin's messages, then retry"};
}

}  // namespace vsagent
