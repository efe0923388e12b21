// Detection of the VM this process runs in, once per process.
#include <boost/algorithm/string/case_conv.hpp>

#include "plugin/frame/AzureInfo.h"

void CAzureInfo::DetectLocalVMGuid() {
    static const char* tag = "void CAzureInfo::DetectLocalVMGuid()";
    NxCriticalSectionH hold(c_localVMGuidCS);
    if (!c_localVMGuid.empty()) return;
    std::string vendor, serialNumber, uuid, other;
    if (!getBiosInfo(vendor, serialNumber, uuid, other)) {
        EvDebug::Error(tag, "Unable to get BIOS Serial Number");
        return;
    }
    EvDebug::Debug(tag, "Bios Serial Number [%s]  UUID [%s] Vendor [%s]", serialNumber.c_str(), uuid.c_str(),
                   vendor.c_str());
    c_localVMGuid = boost::algorithm::to_lower_copy(uuid);
    EvDebug::Debug(tag, "Local VM Guid [%s]", c_localVMGuid.c_str());
}
