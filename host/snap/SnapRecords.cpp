// Snap records: volumes, the snapshots taken of them and the map between them.
#include "host/snap/SnapRecords.h"

#include <algorithm>

int SMVolSnapInfo::addVolume(const SMVolumeInfo& volume, int count) {
    const int first = static_cast<int>(volumes.size());
    for (int i = 0; i < count; ++i) {
        SMVolumeInfo added = volume;
        added.volumeId = static_cast<std::uint32_t>(volumes.size() + 1);
        volumes.push_back(added);
    }
    return first;
}

std::uint32_t SMVolSnapInfo::addSnap(int volumeIndex, SMSnapInfo snap) {
    std::uint32_t next = 1;
    for (const SMSnapInfo& s : snaps) next = std::max(next, s.snapId + 1);
    snap.snapId = next;
    snaps.push_back(snap);
    volSnapMap.push_back({volumes.at(static_cast<std::size_t>(volumeIndex)).volumeId, next});
    return next;
}

std::size_t SMVolSnapInfo::numOfSnap() const {
    return static_cast<std::size_t>(std::count_if(snaps.begin(), snaps.end(), [](const SMSnapInfo& s) {
        return s.status == SM_SNAP_STATUS_SUCCESS;
    }));
}

namespace {

template <typename Apply>
bool ForVolumes(std::vector<SMVolumeInfo>& volumes, int index, int count, Apply apply) {
    if (index < 0 || count < 1 || static_cast<std::size_t>(index) + static_cast<std::size_t>(count) > volumes.size())
        return false;
    for (int i = index; i < index + count; ++i) apply(volumes[static_cast<std::size_t>(i)]);
    return true;
}

}  // namespace

bool SMVolSnapInfo::setServerCredentials(int index, const std::string& credentials) {
    return ForVolumes(volumes, index, 1, [&](SMVolumeInfo& v) { v.serverCredentials = credentials; });
}

bool SMVolSnapInfo::setHypervisorType(int index, std::int32_t type) {
    return ForVolumes(volumes, index, 1, [&](SMVolumeInfo& v) { v.hypervisorType = type; });
}

bool SMVolSnapInfo::setArrayNum(int index, std::uint32_t number) {
    return ForVolumes(volumes, index, 1, [&](SMVolumeInfo& v) { v.arrayNum = number; });
}

bool SMVolSnapInfo::updateTransientMetadata(int index, int count, std::uint32_t key, const std::string& text) {
    return ForVolumes(volumes, index, count, [&](SMVolumeInfo& v) { v.transientMetadata[key] = text; });
}
