#include "host/diskmap/CDiskMapperLinux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "host/diskmap/RemoteBlobReader.h"
#include "host/log/EvDebug.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/util/FileSystem.h"

namespace {

const char* const kInitTag = "bool CDiskMapperLinux::Init()";
const char* const kPreAttachTag = "bool CDiskMapperLinux::PreAttachDisk(const string&, const string&, const string&)";
const char* const kPostAttachTag = "bool CDiskMapperLinux::PostAttachDisk(const string&, std::string&, UINT64&, bool)";
const char* const kOfflineTag = "bool CDiskMapperLinux::BringDiskOffline(const string&)";
const char* const kDeleteTag = "bool CDiskMapperLinux::DeleteDiskDevice(const string&)";

constexpr std::uint64_t kPieceBytes = 0x400000;

std::string DefaultFolder() {
    std::error_code ec;
    std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
    return (ec ? std::filesystem::path("/tmp") : temp).string() + "/vsa-diskmap";
}

bool SafeName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
    });
}

// Writes all of `data` at `offset` of the open file.
bool WriteAt(int fd, const std::string& data, std::uint64_t offset) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

CDiskMapperLinux::~CDiskMapperLinux() {
    std::map<std::string, std::string> left = devices_;
    for (const auto& device : left) DeleteDiskDevice(device.first);
}

bool CDiskMapperLinux::Init() {
    folder_ = DefaultFolder();
    NXPlatformInfo::getString("DiskMapper", "sDeviceFolder", &folder_);
    std::string error;
    if (!CreateFolderIfNotPresent(folder_, &error)) {
        EvDebug::Error(kInitTag, "Cannot prepare device folder [%s], [%s]", folder_.c_str(), error.c_str());
        return false;
    }
    initialized_ = true;
    return true;
}

bool CDiskMapperLinux::PreAttachDisk(const std::string& name, const std::string& dataUrl, const std::string& token) {
    if (!initialized_ || !SafeName(name) || dataUrl.empty()) {
        EvDebug::Error(kPreAttachTag, "Cannot prepare the attach of disk [%s]", name.c_str());
        return false;
    }
    next_ = PendingDisk{name, dataUrl, token};
    pending_ = true;
    return true;
}

bool CDiskMapperLinux::PostAttachDisk(const std::string& guid, std::string& devicePath, std::uint64_t& sizeBytes,
                                      bool online) {
    if (!pending_) {
        EvDebug::Error(kPostAttachTag, "No disk is being attached");
        return false;
    }
    pending_ = false;
    const std::string path = folder_ + "/" + next_.name + ".img";
    std::uint64_t size = 0;
    if (!FillImage(next_, path, size)) {
        std::filesystem::remove(path);
        return false;
    }
    if (!online) chmod(path.c_str(), 0444);
    devices_[path] = guid;
    devicePath = path;
    sizeBytes = size;
    EvDebug::Debug(kPostAttachTag, "Disk [%s] mapped to device [%s], [%llu] bytes", next_.name.c_str(), path.c_str(),
                   static_cast<unsigned long long>(size));
    return true;
}

bool CDiskMapperLinux::FillImage(const PendingDisk& disk, const std::string& path, std::uint64_t& sizeBytes) {
    RemoteBlobReader reader(disk.dataUrl, disk.token);
    std::string error;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    if (!reader.Size(sizeBytes, error) || !reader.AllocatedRanges(ranges, error)) {
        EvDebug::Error(kPostAttachTag, "Cannot read disk [%s]: %s", disk.name.c_str(), error.c_str());
        return false;
    }
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(sizeBytes)) != 0) {
        EvDebug::Error(kPostAttachTag, "Cannot create device [%s], [%s]", path.c_str(), std::strerror(errno));
        if (fd >= 0) close(fd);
        return false;
    }
    bool ok = true;
    for (const auto& range : ranges) {
        for (std::uint64_t at = range.first; ok && at < std::min(range.second, sizeBytes); at += kPieceBytes) {
            std::uint64_t length = std::min(kPieceBytes, std::min(range.second, sizeBytes) - at);
            std::string data;
            ok = reader.Read(at, length, data, error) && WriteAt(fd, data, at);
        }
        if (!ok) break;
    }
    close(fd);
    if (!ok) EvDebug::Error(kPostAttachTag, "Cannot fill device [%s]: %s", path.c_str(), error.c_str());
    return ok;
}

bool CDiskMapperLinux::BringDiskOffline(const std::string& devicePath) {
    if (!devices_.count(devicePath) || chmod(devicePath.c_str(), 0444) != 0) {
        EvDebug::Error(kOfflineTag, "Cannot take device [%s] offline", devicePath.c_str());
        return false;
    }
    return true;
}

bool CDiskMapperLinux::PreDetatchDisk(const std::string& devicePath) { return devices_.count(devicePath) != 0; }

bool CDiskMapperLinux::DeleteDiskDevice(const std::string& devicePath) {
    auto found = devices_.find(devicePath);
    if (found == devices_.end()) return false;
    std::error_code ec;
    std::filesystem::remove(devicePath, ec);
    if (ec) {
        EvDebug::Error(kDeleteTag, "Cannot delete device [%s], [%s]", devicePath.c_str(), ec.message().c_str());
        return false;
    }
    devices_.erase(found);
    return true;
}

bool CDiskMapperLinux::PostDetatchDisk(const std::string& guid) {
    return std::none_of(devices_.begin(), devices_.end(),
                        [&](const std::pair<const std::string, std::string>& d) { return d.second == guid; }) ||
           guid.empty();
}

std::vector<std::string> CDiskMapperLinux::Devices() const {
    std::vector<std::string> out;
    for (const auto& device : devices_) out.push_back(device.first);
    return out;
}
