#include "agent/store/PrunePlan.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

#include "agent/store/Manifest.h"
#include "agent/store/StoreError.h"

namespace fs = std::filesystem;

namespace vsagent {

namespace {

using nlohmann::json;

constexpr int kJournalFormat = 2;
constexpr const char* kSyntheticPrefix = "synthetic-";

[[noreturn]] void Damaged(const std::string& problem) { throw StoreError("damaged prune journal: " + problem); }

long long JobId(const json& value, const std::string& field) {
    if (!value.is_number_integer() || value.get<long long>() < 1 || value.get<long long>() >= Manifest::kMaxJobId)
        Damaged(field + " must be a job id, not " + value.dump());
    return value.get<long long>();
}

std::string PlainName(const json& value, const std::string& field) {
    const bool plain = value.is_string() && !value.get<std::string>().empty() &&
                       value.get<std::string>().find('/') == std::string::npos &&
                       value.get<std::string>().find('\0') == std::string::npos && value != "." && value != "..";
    if (!plain) Damaged(field + " must be a plain file name, not " + value.dump());
    return value.get<std::string>();
}

const json& Member(const json& object, const char* key, const std::string& field) {
    if (!object.is_object() || !object.contains(key)) Damaged(field + "." + key + " is missing");
    return object.at(key);
}

const json& List(const json& object, const char* key, const std::string& field) {
    const json& value = Member(object, key, field);
    if (!value.is_array()) Damaged(field + "." + key + " must be a list");
    return value;
}

SyntheticJob SyntheticFromJson(const json& j, const std::string& field) {
    SyntheticJob job;
    job.jobId = JobId(Member(j, "job", field), field + ".job");
    const json& images = List(j, "images", field);
    for (std::size_t i = 0; i < images.size(); ++i) {
        const std::string at = field + ".images[" + std::to_string(i) + "]";
        const json& disk = Member(images[i], "disk", at);
        if (!disk.is_number_unsigned() || disk.get<std::uint64_t>() > 1000) Damaged(at + ".disk must be a disk index");
        ReplacedImage image{disk.get<std::size_t>(), PlainName(Member(images[i], "image", at), at + ".image"),
                            PlainName(Member(images[i], "newImage", at), at + ".newImage")};
        if (image.newImage != SyntheticImageName(image.image))
            Damaged(at + ".newImage must be " + SyntheticImageName(image.image));
        job.images.push_back(image);
    }
    return job;
}

json PolicyToJson(const RetentionPolicy& policy, std::time_t now) {
    json j = {{"now", static_cast<long long>(now)}};
    if (policy.keepLast) j["keepLast"] = *policy.keepLast;
    if (policy.keepWithinSeconds) j["keepWithinSeconds"] = *policy.keepWithinSeconds;
    return j;
}

// A positive whole number under `key`, or none when the key is absent.
std::optional<long long> Positive(const json& object, const char* key, const std::string& field) {
    if (!object.contains(key)) return std::nullopt;
    const json& value = object.at(key);
    if (!value.is_number_integer() || value.get<long long>() < 1)
        Damaged(field + "." + key + " must be a positive whole number, not " + value.dump());
    return value.get<long long>();
}

void PolicyFromJson(const json& j, PrunePlan& plan) {
    const json& policy = Member(j, "policy", "journal");
    const json& now = Member(policy, "now", "journal.policy");
    if (!now.is_number_integer()) Damaged("journal.policy.now must be a time, not " + now.dump());
    plan.now = static_cast<std::time_t>(now.get<long long>());
    plan.policy.keepLast = Positive(policy, "keepLast", "journal.policy");
    plan.policy.keepWithinSeconds = Positive(policy, "keepWithinSeconds", "journal.policy");
    if (!plan.policy.keepLast && !plan.policy.keepWithinSeconds)
        Damaged("journal.policy keeps nothing: it needs keepLast and/or keepWithinSeconds");
}

}  // namespace

std::string SyntheticImageName(const std::string& image) { return kSyntheticPrefix + image; }

json PrunePlan::toJson() const {
    json synthetic = json::array();
    for (const SyntheticJob& job : synthesize) {
        json images = json::array();
        for (const ReplacedImage& r : job.images)
            images.push_back({{"disk", r.disk}, {"image", r.image}, {"newImage", r.newImage}});
        synthetic.push_back({{"job", job.jobId}, {"images", images}});
    }
    return {{"format", kJournalFormat},
            {"vm", vmName},
            {"remove", remove},
            {"synthesize", synthetic},
            {"policy", PolicyToJson(policy, now)}};
}

PrunePlan PrunePlan::FromJson(const json& document, const std::string& vmName) {
    if (Member(document, "format", "journal") != kJournalFormat)
        Damaged("format must be " + std::to_string(kJournalFormat));
    if (Member(document, "vm", "journal") != vmName) Damaged("it belongs to another VM than [" + vmName + "]");
    PrunePlan plan;
    plan.vmName = vmName;
    const json& remove = List(document, "remove", "journal");
    for (std::size_t i = 0; i < remove.size(); ++i)
        plan.remove.push_back(JobId(remove[i], "remove[" + std::to_string(i) + "]"));
    const json& synthesize = List(document, "synthesize", "journal");
    for (std::size_t i = 0; i < synthesize.size(); ++i)
        plan.synthesize.push_back(SyntheticFromJson(synthesize[i], "synthesize[" + std::to_string(i) + "]"));
    PolicyFromJson(document, plan);
    const std::set<long long> removed(plan.remove.begin(), plan.remove.end());
    for (const SyntheticJob& job : plan.synthesize)
        if (removed.count(job.jobId)) Damaged("job " + std::to_string(job.jobId) + " is both removed and kept");
    return plan;
}

std::optional<PrunePlan> ReadJournal(const std::string& vmFolder, const std::string& vmName) {
    const fs::path path = fs::path(vmFolder) / PrunePlan::kJournalName;
    std::error_code ec;
    if (!fs::exists(path, ec)) return std::nullopt;
    std::ifstream in(path);
    json document = json::parse(in, nullptr, false);
    try {
        if (document.is_discarded()) Damaged("not JSON");
        return PrunePlan::FromJson(document, vmName);
    } catch (const StoreError& e) {
        throw StoreError(std::string(e.what()) + " [" + path.string() + "]");
    }
}

}  // namespace vsagent
