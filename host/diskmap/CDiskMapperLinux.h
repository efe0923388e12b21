// Disk mapper that attaches cloud disks to the local VM for live browse.
//
// On this platform a disk attached to the local VM shows up as a device whose
// content is the disk's data. The mapper builds that device as a sparse image
// file in its device folder (setting "DiskMapper"/"sDeviceFolder", default
// "<temp folder>/vsa-diskmap"), filled when the attach completes from the
// disk's data over HTTPS: the allocated page ranges are listed, then read in
// pieces of at most 4 MiB, so that unallocated parts stay holes.
//
// Order of use per disk: PreAttachDisk (names the disk and where its data is
// read), the cloud attach, PostAttachDisk (builds the device), BringDiskOffline;
// to release: PreDetatchDisk, DeleteDiskDevice, PostDetatchDisk. Devices still
// present when the mapper is destroyed are deleted then.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class CDiskMapperLinux {
public:
    CDiskMapperLinux() = default;
    ~CDiskMapperLinux();
    CDiskMapperLinux(const CDiskMapperLinux&) = delete;
    CDiskMapperLinux& operator=(const CDiskMapperLinux&) = delete;

    // Prepares the device folder; false when it cannot be created.
    bool Init();
    // The disk about to be attached: a file-system safe `name`, and its data at
    // `dataUrl`, read with the bearer `token` (empty for a SAS URL).
    bool PreAttachDisk(const std::string& name, const std::string& dataUrl, const std::string& token);
    // Builds the device of the disk named by the last PreAttachDisk; reports its
    // path and size in bytes. `online` leaves it writable.
    bool PostAttachDisk(const std::string& guid, std::string& devicePath, std::uint64_t& sizeBytes, bool online);
    // Makes the device read-only.
    bool BringDiskOffline(const std::string& devicePath);
    bool PreDetatchDisk(const std::string& devicePath);
    bool DeleteDiskDevice(const std::string& devicePath);
    bool PostDetatchDisk(const std::string& guid);

    // Paths of the devices present, in name order.
    std::vector<std::string> Devices() const;
    const std::string& DeviceFolder() const { return folder_; }

private:
    struct PendingDisk {
        std::string name;
        std::string dataUrl;
        std::string token;
    };
    bool FillImage(const PendingDisk& disk, const std::string& path, std::uint64_t& sizeBytes);

    std::string folder_;
    bool initialized_ = false;
    bool pending_ = false;
    PendingDisk next_;
    std::map<std::string, std::string> devices_;  // device path -> disk guid
};
