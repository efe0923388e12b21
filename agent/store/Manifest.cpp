#include "agent/store/Manifest.h"

#include <openssl/evp.h>

#include "agent/store/StoreError.h"

namespace vsagent {

namespace {

using nlohmann::json;

json OptionalJob(const std::optional<long long>& job) { return job ? json(*job) : json(nullptr); }

std::optional<long long> ReadOptionalJob(const json& value) {
    if (value.is_null()) return std::nullopt;
    return value.get<long long>();
}

json DiskToJson(const DiskRecord& d) {
    json extents = json::array();
    for (const Extent& e : d.extents) extents.push_back({e.start, e.length});
    return {{"name", d.name},         {"path", d.path},           {"lun", d.lun},
            {"osDisk", d.osDisk},     {"capacity", d.capacity},   {"imageBytes", d.imageBytes},
            {"changeId", d.changeId}, {"image", d.image},         {"extents", extents},
            {"bytesRead", d.bytesRead}, {"parentJob", OptionalJob(d.parentJob)},
            {"sha256", d.sha256},     {"dataSha256", d.dataSha256}};
}

DiskRecord DiskFromJson(const json& j) {
    DiskRecord d;
    d.name = j.at("name").get<std::string>();
    d.path = j.at("path").get<std::string>();
    d.lun = j.at("lun").get<int>();
    d.osDisk = j.at("osDisk").get<bool>();
    d.capacity = j.at("capacity").get<std::uint64_t>();
    d.imageBytes = j.at("imageBytes").get<std::uint64_t>();
    d.changeId = j.at("changeId").get<std::string>();
    d.image = j.at("image").get<std::string>();
    for (const json& e : j.at("extents")) d.extents.push_back({e.at(0).get<std::uint64_t>(), e.at(1).get<std::uint64_t>()});
    d.bytesRead = j.at("bytesRead").get<std::uint64_t>();
    d.parentJob = ReadOptionalJob(j.at("parentJob"));
    d.sha256 = j.at("sha256").get<std::string>();
    d.dataSha256 = j.at("dataSha256").get<std::string>();
    return d;
}

}  // namespace

json Manifest::toJson() const {
    json disksJson = json::array();
    for (const DiskRecord& d : disks) disksJson.push_back(DiskToJson(d));
    json filesJson = json::array();
    for (const FileRecord& f : files) filesJson.push_back({{"name", f.name}, {"size", f.size}, {"sha256", f.sha256}});
    return {{"format", kFormat},
            {"jobId", jobId},
            {"vm", {{"name", vmName}, {"guid", vmGuid}, {"resourceGroup", resourceGroup}}},
            {"backupType", incremental ? "incremental" : "full"},
            {"parentJob", OptionalJob(parentJob)},
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
    try {
        if (document.at("format").get<int>() != kFormat) throw StoreError("unknown manifest format");
        Manifest m;
        m.jobId = document.at("jobId").get<long long>();
        const json& vm = document.at("vm");
        m.vmName = vm.at("name").get<std::string>();
        m.vmGuid = vm.at("guid").get<std::string>();
        m.resourceGroup = vm.at("resourceGroup").get<std::string>();
        m.incremental = document.at("backupType").get<std::string>() == "incremental";
        m.parentJob = ReadOptionalJob(document.at("parentJob"));
        m.referencePoint = Base64Decode(document.at("referencePoint").get<std::string>());
        m.cbtStatus = document.at("cbtStatus").get<std::string>();
        m.startedAt = document.at("startedAt").get<std::string>();
        m.finishedAt = document.at("finishedAt").get<std::string>();
        m.seconds = document.at("seconds").get<double>();
        m.bytesRead = document.at("bytesRead").get<std::uint64_t>();
        for (const json& d : document.at("disks")) m.disks.push_back(DiskFromJson(d));
        for (const json& f : document.at("files"))
            m.files.push_back({f.at("name").get<std::string>(), f.at("size").get<std::uint64_t>(),
                               f.at("sha256").get<std::string>()});
        return m;
    } catch (const json::exception& e) {
        throw StoreError(std::string("damaged manifest: ") + e.what());
    }
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
