// The library's only exported function: creates the plugin object for the host.
#include <exception>
#include <new>

#include "plugin/frame/AzureInfo.h"

extern "C" __attribute__((visibility("default"))) int CreateAzureInfoObject(VirtualServerInstanceType type,
                                                                            IVMInfo** out) {
    EvDebug::DebugLvl("int CreateAzureInfoObject(VirtualServerInstanceType, IVMInfo**)", 2,
                      "Creating AzureInfo object");
    CAzureInfo* object = nullptr;
    try {
        object = new (std::nothrow) CAzureInfo(type, 0);
    } catch (const std::exception& e) {
        // The host is outside this library: no exception may cross this function.
        EvDebug::Error("int CreateAzureInfoObject(VirtualServerInstanceType, IVMInfo**)",
                       "Failed to create AzureInfo object: [%s]", e.what());
    }
    *out = object;
    return object != nullptr ? 1 : 0;
}
