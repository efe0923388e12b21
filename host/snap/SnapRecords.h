// Records of the snapshot-metadata utility. A job's snapshot-engine state
// lives in one SMVolSnapInfo; its volumes and snapshots are added by the
// snapshot-engine operations.
#pragma once

#include <string>
#include <vector>

struct SMSnapInfo {
    std::string snapshotId;
};

struct SMVolumeInfo {
    std::string name;
    std::vector<SMSnapInfo> snapshots;
};

struct SMVolSnapInfo {
    std::vector<SMVolumeInfo> volumes;
};
