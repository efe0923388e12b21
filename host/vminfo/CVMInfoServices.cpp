// Services of the plugin base class: last error, failure lists, job state,
// host-information cache bookkeeping, disk-filter walk and job folders.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <boost/algorithm/string/trim.hpp>

#include "host/settings/NXPlatformInfo.h"
#include "host/sys/Time.h"
#include "host/vminfo/CVMInfo.h"

namespace {

std::mutex g_dmiMutex;
std::string g_dmiDirectory = "/sys/class/dmi/id";

std::string DmiDirectory() {
    std::lock_guard<std::mutex> lock(g_dmiMutex);
    return g_dmiDirectory;
}

bool ReadDmiField(const std::string& dir, const char* name, std::string& value) {
    std::ifstream in(std::filesystem::path(dir) / name);
    if (!in) return false;
    std::getline(in, value);
    boost::algorithm::trim(value);
    return true;
}

// How long a fetched host list stays fresh; "HostDiscovery"/"nHostInfoCacheSeconds".
long long HostCacheLifetimeSeconds() {
    unsigned long seconds = 300;
    NXPlatformInfo::getNumber("HostDiscovery", "nHostInfoCacheSeconds", &seconds);
    return static_cast<long long>(seconds);
}

// Bit 62 of the discovery flags asks for VM templates; the all-ones word never does.
bool AsksForTemplates(UINT64 flags) {
    const UINT64 withTemplates = 0x4000000000000000ULL;
    return (flags & withTemplates) != 0 && flags != ~0ULL;
}

VMInfoStructs::SFailure MakeFailure(const std::string& item, const std::string& guid, const std::string& reason,
                                    bool flag) {
    VMInfoStructs::SFailure failure;
    failure.subject = item;
    failure.guid = guid;
    failure.reason = reason;
    failure.flag = flag;
    return failure;
}

}  // namespace

CVMInfo::CVMInfo(VirtualServerInstanceType type) : instanceType_(type) {}
CVMInfo::~CVMInfo() = default;

void CVMInfo::SetLastVMError(EVMInfoError code) {
    std::lock_guard<std::mutex> lock(errorMutex_);
    lastError_ = code;
    lastErrorMessage_.clear();
}

void CVMInfo::SetLastVMError(EVMInfoError code, const std::string& text) {
    std::lock_guard<std::mutex> lock(errorMutex_);
    lastError_ = code;
    lastErrorMessage_ = text;
    lastErrorDetails_ = text;
}

std::string CVMInfo::GetLastVMErrorMessage() {
    std::lock_guard<std::mutex> lock(errorMutex_);
    return lastErrorMessage_;
}

void CVMInfo::SetLastVMErrorDetails(const std::string& details) {
    std::lock_guard<std::mutex> lock(errorMutex_);
    lastErrorDetails_ = details;
}

EVMInfoError CVMInfo::GetLastVMError() {
    std::lock_guard<std::mutex> lock(errorMutex_);
    return lastError_;
}

std::string CVMInfo::GetLastVMErrorDetails() {
    std::lock_guard<std::mutex> lock(errorMutex_);
    return lastErrorDetails_;
}

void CVMInfo::AddMountFailure(const MountCtx& ctx, const std::string& item, const std::string& reason, bool flag) {
    const_cast<MountCtx&>(ctx).mountFailures.push_back(MakeFailure(item, ctx.vmGuid, reason, flag));
}

void CVMInfo::AddRestoreFailure(const RestoreCtx& ctx, const std::string& item, const std::string& reason,
                                bool flag) {
    const_cast<RestoreCtx&>(ctx).restoreFailures.push_back(MakeFailure(item, ctx.vmGuid, reason, flag));
}

void CVMInfo::SetProgressCallback(std::function<void()> callback) { progressCallback_ = std::move(callback); }

void CVMInfo::NotifyProgressUpdate() {
    if (progressCallback_) progressCallback_();
}

void CVMInfo::ResetCaches() {
    hostInfoCache.clear();
    hostCacheValid_ = false;
    hostCacheFlags_ = 0;
}

bool CVMInfo::IsNewHostDiscoveryReq(UINT64 flags, int /*option*/) {
    if (!hostCacheValid_) return true;
    // Templates sit in the list as one more host, so a list with them cannot answer a request
    // without them, nor the reverse.
    if (AsksForTemplates(flags) != AsksForTemplates(hostCacheFlags_)) return true;
    // A request for more detail than the cached list holds (VM lists) needs a new fetch.
    if ((flags & ~hostCacheFlags_) != 0) return true;
    return NxClock::nowSeconds() - hostCacheTime_ >= HostCacheLifetimeSeconds();
}

int CVMInfo::_RefreshHostInfoCache(UINT64 flags, int /*option*/) {
    hostCacheValid_ = true;
    hostCacheFlags_ = flags;
    hostCacheTime_ = NxClock::nowSeconds();
    return 1;
}

void CVMInfo::UpdateMountCtxReferenceTimeWIthCurrentTime(const MountCtx& ctx) {
    const_cast<MountCtx&>(ctx).referenceTime = NxClock::nowSeconds();
}

int CVMInfo::_PrepareMountPathDirectory(const std::string& path, bool create) {
    if (path.empty()) return 0;
    std::error_code ec;
    if (!create) return std::filesystem::is_directory(path, ec) ? 1 : 0;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec) ? 1 : 0;
}

void CVMInfo::SetDmiDirectory(const std::string& dir) {
    std::lock_guard<std::mutex> lock(g_dmiMutex);
    g_dmiDirectory = dir;
}

bool CVMInfo::getBiosInfo(std::string& vendor, std::string& serial, std::string& uuid, std::string& other) {
    std::string dir = DmiDirectory();
    std::string v, s, u, o;
    if (!ReadDmiField(dir, "product_uuid", u) || u.empty()) return false;
    ReadDmiField(dir, "sys_vendor", v);
    ReadDmiField(dir, "product_serial", s);
    ReadDmiField(dir, "chassis_asset_tag", o);
    vendor = v;
    serial = s;
    uuid = u;
    other = o;
    return true;
}

bool CVMInfo::IsDiskFiltered(const MountCtx& ctx, const VMInfoStructs::SDisk& disk) {
    for (const SDiskFilterRule& rule : ctx.diskFilters) {
        bool filtered = false;
        switch (rule.type) {
            case DISK_FILTER_BY_PATH: filtered = IsDiskFilteredByPath(rule.value, disk); break;
            case DISK_FILTER_BY_PATTERN: filtered = IsDiskFilteredByPattern(rule.value, disk); break;
            case DISK_FILTER_BY_DATASTORE: filtered = IsDiskFilteredByDatastore(ctx, rule.value, disk); break;
            case DISK_FILTER_BY_TYPE: filtered = IsDiskFilteredByType(rule.value, disk); break;
            case DISK_FILTER_BY_TAG: filtered = IsDiskFilteredByTag(rule.value, rule.secondValue, disk); break;
            default: break;  // a rule kind this host does not know filters nothing
        }
        if (filtered) return true;
    }
    return false;
}
