// Conversion of the simulated subscription's resources into the host records
// the SDK wrapper returns.
#pragma once

#include <vector>

#include "azsim/model/StateDocument.h"
#include "plugin/frame/records/Records.h"

namespace AzureSDKCppBridge {

VMInfoStructs::SVMInfo VmRecord(const azsim::StateDocument& doc, const azsim::VirtualMachine& vm);
VMInfoStructs::SDatastoreInfo StorageAccountRecord(const azsim::StorageAccount& account);
VMInfoStructs::SVMSizeInfo VmSizeRecord(const azsim::VmSize& size);
VMInfoStructs::SNetworkInfo NetworkRecord(const azsim::VirtualNetwork& network);
VMInfoStructs::SSecurityGroupInfo SecurityGroupRecord(const azsim::SecurityGroup& group);
// A resource group with its VMs, storage accounts, networks and security groups.
VMInfoStructs::SHostInfo HostRecord(const azsim::StateDocument& doc, const azsim::ResourceGroup& group);
// A region with its storage accounts, networks and security groups; named as the caller asked.
VMInfoStructs::SDataCenterInfo DataCenterRecord(const azsim::StateDocument& doc, const azsim::Region& region,
                                                const std::string& name);

}  // namespace AzureSDKCppBridge
