#include "agent/host/PluginLibrary.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace vsagent {

PluginLibrary::PluginLibrary(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) throw std::runtime_error(std::string("cannot load the plugin: ") + dlerror());
    factory_ = reinterpret_cast<Factory>(dlsym(handle_, "CreateAzureInfoObject"));
    if (!factory_) {
        std::string error = dlerror();
        dlclose(handle_);
        throw std::runtime_error("the plugin [" + path + "] has no factory: " + error);
    }
}

PluginLibrary::~PluginLibrary() { dlclose(handle_); }

std::unique_ptr<IVMInfo> PluginLibrary::create(VirtualServerInstanceType type) {
    IVMInfo* object = nullptr;
    if (factory_(type, &object) != 1 || object == nullptr)
        throw std::runtime_error("the plugin could not create its object");
    return std::unique_ptr<IVMInfo>(object);
}

std::string PluginLibrary::DefaultPath() {
    if (const char* fromEnvironment = getenv("VSA_PLUGIN")) return fromEnvironment;
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        std::filesystem::path beside = self.parent_path() / "libAzureInfo.so";
        if (std::filesystem::exists(beside, ec)) return beside.string();
    }
    return VSAGENT_PLUGIN_PATH;
}

}  // namespace vsagent
