// The library's only exported function: creates the plugin object for the host.
#include <new>

#include "plugin/frame/AzureInfo.h"

extern "C" __attribute__((visibility("default"))) int CreateAzureInfoObject(VirtualServerInstanceType type,
                                                                            IVMInfo** out) {
    EvDebug::DebugLvl("int CreateAzureInfoObject(VirtualServerInstanceType, IVMInfo**)", 2,
                      "Creating AzureInfo object");
    CAzureInfo* object = new (std::nothrow) CAzureInfo(type, 0);
    *out = object;
    return object != nullptr ? 1 : 0;
}
