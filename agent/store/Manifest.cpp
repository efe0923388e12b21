#include "agent/store/Manifest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "agent/store/StoreError.h"

namespace vsagent {

namespace {

using nlohmann::json;

json OptionalJob(const std::optional<long long>& job) { return job ? json(*job) : json(nullptr); }

// The window list holds only the windows that are not all zeros, as [index, digest].
json DigestToJson(const DiskDigest& digest) {
    json windows = json::array();
    for (const auto& [index, hex] : digest.windows) windows.push_back({index, hex});
    return {{"kind", DiskDigest::kKind},
            {"version", DiskDigest::kVersion},
            {"windowBytes", DiskDigest::kWindowBytes},
            {"root", digest.root},
            {"windows", windows}};
}

json DiskToJson(const DiskRecord& d) {
    json extents = json::array();
    for (const Extent& e : d.extents) extents.push_back({e.start, e.length});
    json disk = {{"name", d.name},         {"path", d.path},           {"lun", d.lun},
                 {"osDisk", d.osDisk},     {"capacity", d.capacity},   {"imageBytes", d.imageBytes},
                 {"changeId", d.changeId}, {"image", d.image},         {"extents", extents},
                 {"bytesRead", d.bytesRead}, {"parentJob", OptionalJob(d.parentJob)},
                 {"dataSha256", d.dataSha256}};
    if (d.digest)
        disk["digest"] = DigestToJson(*d.digest);
    else
        disk["sha256"] = d.sha256;
    return disk;
}

// A value as an error message shows it: its JSON, cut short when long.
std::string Shown(const json& value) {
    std::string text = value.dump();
    return text.size() <= 40 ? text : text.substr(0, 37) + "...";
}

// A name that stays inside the folder it is joined to.
bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// A whole number from 0 up, as parsed (unsigned) or as built in memory (signed).
std::optional<std::uint64_t> NonNegative(const json& value) {
    if (value.is_number_unsigned()) return value.get<std::uint64_t>();
    if (value.is_number_integer() && value.get<std::int64_t>() >= 0)
        return static_cast<std::uint64_t>(value.get<std::int64_t>());
    return std::nullopt;
}

bool IsDigest(const std::string& text) {
    auto lowerHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    return text.size() == 64 && std::all_of(text.begin(), text.end(), lowerHex);
}

// One object of a manifest document, read field by field; each problem names the
// field by its path in the document ("disks[1].capacity").
class Fields {
public:
    Fields(const json& object, std::string path) : object_(object), path_(std::move(path)) {
        if (!object_.is_object()) throw StoreError((path_.empty() ? "the document" : path_) + " is not an object");
    }

    std::string field(const std::string& key) const { return path_.empty() ? key : path_ + "." + key; }
    [[noreturn]] void fail(const std::string& key, const std::string& problem) const {
        throw StoreError(field(key) + " " + problem);
    }

    const json& at(const char* key) const {
        auto it = object_.find(key);
        if (it == object_.end()) fail(key, "is missing");
        return *it;
    }
    bool has(const char* key) const { return object_.contains(key); }
    Fields object(const char* key) const { return Fields(at(key), field(key)); }
    const json& array(const char* key) const {
        const json& value = at(key);
        if (!value.is_array()) fail(key, "must be a list, not " + Shown(value));
        return value;
    }
    std::uint64_t count(const char* key, std::uint64_t min, std::uint64_t max) const {
        const json& value = at(key);
        const std::optional<std::uint64_t> number = NonNegative(value);
        if (!number || *number < min || *number > max)
            fail(key, "must be a whole number from " + std::to_string(min) + " to " + std::to_string(max) + ", not " +
                          Shown(value));
        return *number;
    }
    std::uint64_t count(const char* key) const { return count(key, 0, UINT64_MAX); }
    std::string text(const char* key) const {
        const json& value = at(key);
        if (!value.is_string()) fail(key, "must be a string, not " + Shown(value));
        return value.get<std::string>();
    }
    std::string plainName(const char* key) const {
        std::string name = text(key);
        if (!IsPlainName(name)) fail(key, "must be a plain file name, without folders, not " + Shown(name));
        return name;
    }
    std::string digest(const char* key) const {
        std::string hex = text(key);
        if (!IsDigest(hex)) fail(key, "must be a SHA-256 of 64 lower-case hex digits, not " + Shown(hex));
        return hex;
    }
    bool flag(const char* key) const {
        const json& value = at(key);
        if (!value.is_boolean()) fail(key, "must be true or false, not " + Shown(value));
        return value.get<bool>();
    }
    double seconds(const char* key) const {
        const json& value = at(key);
        if (!value.is_number() || !std::isfinite(value.get<double>()) || value.get<double>() < 0)
            fail(key, "must be a number of seconds, not " + Shown(value));
        return value.get<double>();
    }
    // A job older than `job`, or none.
    std::optional<long long> olderJob(const char* key, long long job) const {
        const json& value = at(key);
        if (value.is_null()) return std::nullopt;
        const std::optional<std::uint64_t> number = NonNegative(value);
        if (!number || *number < 1 || *number >= static_cast<std::uint64_t>(job))
            fail(key, "must be null or the id of a job older than " + std::to_string(job) + ", not " + Shown(value));
        return static_cast<long long>(*number);
    }

private:
    const json& object_;
    std::string path_;
};

std::string Indexed(const std::string& field, std::size_t index) { return field + "[" + std::to_string(index) + "]"; }

// Extents sorted, disjoint, non-empty and inside the image; a start and length
// whose sum wraps past 2^64 counts as past the image's end.
ExtentList ReadExtents(const Fields& disk, std::uint64_t imageBytes) {
    const json& list = disk.array("extents");
    ExtentList extents;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string field = Indexed(disk.field("extents"), i);
        const json& e = list[i];
        const bool pair = e.is_array() && e.size() == 2;
        const std::optional<std::uint64_t> start = pair ? NonNegative(e[0]) : std::nullopt;
        const std::optional<std::uint64_t> length = pair ? NonNegative(e[1]) : std::nullopt;
        if (!start || !length) throw StoreError(field + " must be [start, length] in bytes, not " + Shown(e));
        const Extent extent{*start, *length};
        if (extent.length == 0) throw StoreError(field + " is empty");
        if (extent.length > imageBytes || extent.start > imageBytes - extent.length)
            throw StoreError(field + " " + Shown(e) + " ends past the image's " + std::to_string(imageBytes) +
                             " bytes");
        if (!extents.empty() && extent.start < extents.back().end())
            throw StoreError(field + " " + Shown(e) + " overlaps or comes before the extent ahead of it");
        extents.push_back(extent);
    }
    return extents;
}

// Window digests in ascending order of index, each window on the disk.
void ReadWindows(const Fields& j, DiskDigest& digest) {
    const json& list = j.array("windows");
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string field = Indexed(j.field("windows"), i);
        const json& w = list[i];
        const bool pair = w.is_array() && w.size() == 2;
        const std::optional<std::uint64_t> index = pair ? NonNegative(w[0]) : std::nullopt;
        if (!index || !w[1].is_string() || !IsDigest(w[1].get<std::string>()))
            throw StoreError(field + " must be [window, SHA-256 of 64 lower-case hex digits], not " + Shown(w));
        if (*index >= digest.windowCount())
            throw StoreError(field + " " + Shown(w) + " is past the disk's " + std::to_string(digest.windowCount()) +
                             " windows");
        if (!digest.windows.empty() && *index <= digest.windows.rbegin()->first)
            throw StoreError(field + " " + Shown(w) + " repeats or comes before the window ahead of it");
        digest.windows[*index] = w[1].get<std::string>();
    }
}

DiskDigest DigestFromJson(const Fields& j, std::uint64_t diskBytes) {
    if (j.text("kind") != DiskDigest::kKind)
        j.fail("kind", "must be " + Shown(DiskDigest::kKind) + ", not " + Shown(j.at("kind")));
    j.count("version", DiskDigest::kVersion, DiskDigest::kVersion);
    j.count("windowBytes", DiskDigest::kWindowBytes, DiskDigest::kWindowBytes);
    DiskDigest digest;
    digest.diskBytes = diskBytes;
    digest.root = j.digest("root");
    ReadWindows(j, digest);
    return digest;
}

DiskRecord DiskFromJson(const Fields& j, const Manifest& job) {
    DiskRecord d;
    d.name = j.text("name");
    if (d.name.empty()) j.fail("name", "is empty");
    d.path = j.text("path");
    d.lun = static_cast<int>(j.count("lun", 0, INT32_MAX));
    d.osDisk = j.flag("osDisk");
    d.capacity = j.count("capacity", DiskRecord::kSectorBytes, DiskRecord::kMaxCapacity);
    if (d.capacity % DiskRecord::kSectorBytes != 0) j.fail("capacity", "is not a whole number of 512-byte sectors");
    d.imageBytes = j.count("imageBytes");
    if (d.imageBytes != d.capacity + DiskRecord::kSectorBytes)
        j.fail("imageBytes", "must be the capacity and one footer sector, " +
                                  std::to_string(d.capacity + DiskRecord::kSectorBytes) + ", not " +
                                  std::to_string(d.imageBytes));
    d.changeId = j.text("changeId");
    d.image = j.plainName("image");
    d.extents = ReadExtents(j, d.imageBytes);
    d.bytesRead = j.count("bytesRead");
    d.parentJob = j.olderJob("parentJob", job.jobId);
    if (d.parentJob && d.parentJob != job.parentJob) j.fail("parentJob", "is not the job's parentJob");
    if (job.format == Manifest::kWholeDiskFormat)
        d.sha256 = j.digest("sha256");
    else
        d.digest = DigestFromJson(j.object("digest"), d.imageBytes);
    d.dataSha256 = j.digest("dataSha256");
    return d;
}

void ReadDisks(const Fields& top, Manifest& m) {
    const json& disks = top.array("disks");
    if (disks.empty()) top.fail("disks", "is empty");
    for (std::size_t i = 0; i < disks.size(); ++i) {
        DiskRecord d = DiskFromJson(Fields(disks[i], Indexed("disks", i)), m);
        for (const DiskRecord& other : m.disks)
            if (other.name == d.name)
                throw StoreError(Indexed("disks", i) + ".name " + Shown(d.name) + " is not unique");
        m.disks.push_back(std::move(d));
    }
}

void ReadFiles(const Fields& top, Manifest& m) {
    const json& files = top.array("files");
    for (std::size_t i = 0; i < files.size(); ++i) {
        Fields f(files[i], Indexed("files", i));
        m.files.push_back({f.plainName("name"), f.count("size"), f.digest("sha256")});
    }
}

// Everything after the job id.
void ReadJob(const Fields& top, Manifest& m) {
    const Fields vm = top.object("vm");
    m.vmName = vm.plainName("name");
    m.vmGuid = vm.text("guid");
    m.resourceGroup = vm.text("resourceGroup");
    const std::string type = top.text("backupType");
    if (type != "full" && type != "incremental")
        top.fail("backupType", "must be \"full\" or \"incremental\", not " + Shown(type));
    m.incremental = type == "incremental";
    m.parentJob = top.olderJob("parentJob", m.jobId);
    if (m.incremental != m.parentJob.has_value())
        top.fail("parentJob", m.incremental ? "is missing from an incremental job" : "is set on a full job");
    // Written since retention came; a manifest without it is of a job read from the cloud.
    m.syntheticFull = top.has("syntheticFull") && top.flag("syntheticFull");
    if (m.syntheticFull && m.incremental) top.fail("syntheticFull", "is set on an incremental job");
    const std::string referencePoint = top.text("referencePoint");
    try {
        m.referencePoint = Base64Decode(referencePoint);
    } catch (const StoreError&) {
        top.fail("referencePoint", "is not base64");
    }
    m.cbtStatus = top.text("cbtStatus");
    m.startedAt = top.text("startedAt");
    m.finishedAt = top.text("finishedAt");
    m.seconds = top.seconds("seconds");
    m.bytesRead = top.count("bytesRead");
    ReadDisks(top, m);
    ReadFiles(top, m);
}

}  // namespace

json Manifest::toJson() const {
    json disksJson = json::array();
    for (const DiskRecord& d : disks) disksJson.push_back(DiskToJson(d));
    json filesJson = json::array();
    for (const FileRecord& f : files) filesJson.push_back({{"name", f.name}, {"size", f.size}, {"sha256", f.sha256}});
    return {{"format", format},
            {"jobId", jobId},
            {"vm", {{"name", vmName}, {"guid", vmGuid}, {"resourceGroup", resourceGroup}}},
            {"backupType", incremental ? "incremental" : "full"},
            {"parentJob", OptionalJob(parentJob)},
            {"syntheticFull", syntheticFull},
            {"referencePoint", Base64Encode(referencePoint)},
            {"cbtStatus", cbtStatus},
            {"startedAt", startedAt},
            {"finishedAt", finishedAt},
            {"seconds", seconds},
            {"bytesRead", bytesRead},
            {"disks", disksJson},
            {"files", filesJson}};
}

Manifest Manifest::FromJson(const json& document) {
    const Fields top(document, "");
    Manifest m;
    m.format = static_cast<int>(top.count("format", 0, INT32_MAX));
    if (m.format != kFormat && m.format != kWholeDiskFormat)
        top.fail("format", "is " + Shown(top.at("format")) + "; this agent reads formats " +
                               std::to_string(kWholeDiskFormat) + " and " + std::to_string(kFormat));
    m.jobId = static_cast<long long>(top.count("jobId", 1, kMaxJobId));
    try {
        ReadJob(top, m);
    } catch (const StoreError& e) {
        throw StoreError("job " + std::to_string(m.jobId) + ": " + e.what());
    }
    return m;
}

std::string Base64Encode(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string Base64Decode(const std::string& text) {
    if (text.size() % 4 != 0) throw StoreError("reference point is not base64");
    std::string out(text.size() / 4 * 3 + 1, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) throw StoreError("reference point is not base64");
    std::size_t padding = 0;
    for (std::size_t i = text.size(); i > 0 && text[i - 1] == '=' && padding < 2; --i) ++padding;
    out.resize(static_cast<std::size_t>(n) - padding);
    return out;
}

}  // namespace vsagent
