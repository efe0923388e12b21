// The plugin as the agent loads it: the shared library opened with dlopen and
// objects made by its exported factory. The library stays loaded while any
// object it made is alive.
#pragma once

#include <memory>
#include <string>

#include "host/vminfo/IVMInfo.h"

namespace vsagent {

class PluginLibrary {
public:
    // Opens the library; throws std::runtime_error with dlerror's text when it cannot.
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // A new plugin object of `type`; throws std::runtime_error when the factory fails.
    std::unique_ptr<IVMInfo> create(VirtualServerInstanceType type);

    // The library to load: $VSA_PLUGIN, else libAzureInfo.so beside the program, else the build's own.
    static std::string DefaultPath();

private:
    using Factory = int (*)(VirtualServerInstanceType, IVMInfo**);
    void* handle_ = nullptr;
    Factory factory_ = nullptr;
};

}  // namespace vsagent
