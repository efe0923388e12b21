#include "cloudsdk/BlobSnapshotSets.h"

#include <boost/algorithm/string/predicate.hpp>
#include <pugixml.hpp>

#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/SnapshotSets.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"
#include "cloudsdk/rest/Retries.h"

namespace AzureSDKCppBridge {

using boost::algorithm::iequals;

namespace {

constexpr int kMaxCopyPolls = 600;

// One listed snapshot in the shape of a managed snapshot.
nlohmann::json ListedSnapshot(const BlobAddress& address, const std::string& id, const pugi::xml_node& metadata) {
    nlohmann::json tags = nlohmann::json::object();
    for (const pugi::xml_node& item : metadata.children()) tags[item.name()] = item.child_value();
    return {{"id", SnapshotUrl(address.url, id)}, {"name", id}, {"tags", tags},
            {"properties", {{"timeCreated", id}}}};
}

void AddListed(const BlobAddress& address, const pugi::xml_node& entry, ListedBlob& listed) {
    const std::string snapshot = entry.child_value("Snapshot");
    if (!snapshot.empty())
        return listed.snapshots.push_back(ListedSnapshot(address, snapshot, entry.child("Metadata")));
    listed.found = true;
    listed.leased = std::string(entry.child("Properties").child_value("LeaseState")) == "leased";
}

// The VHD URLs of a VM's storage profile.
std::vector<std::string> VhdsOf(const nlohmann::json& vm) {
    const nlohmann::json profile =
        vm.value("properties", nlohmann::json::object()).value("storageProfile", nlohmann::json::object());
    std::vector<nlohmann::json> entries = {profile.value("osDisk", nlohmann::json::object())};
    for (const nlohmann::json& data : profile.value("dataDisks", nlohmann::json::array())) entries.push_back(data);
    std::vector<std::string> uris;
    for (const nlohmann::json& entry : entries) {
        const std::string uri = entry.value("vhd", nlohmann::json::object()).value("uri", "");
        if (!uri.empty()) uris.push_back(uri);
    }
    return uris;
}

bool IsVm(const nlohmann::json& vm, const std::string& name, const std::string& guid, const std::string& group) {
    if (!guid.empty()) return iequals(vm.value("properties", nlohmann::json::object()).value("vmId", ""), guid);
    return iequals(vm.value("name", ""), name) && (group.empty() || iequals(GroupOfId(vm.value("id", "")), group));
}

// Takes the snapshot of one disk's blob carrying `headers`; the snapshot's URL is added to `made`.
VMInfoStructs::SDisk SnapshotBlob(rest::BlobClient& blob, const VMInfoStructs::SDisk& disk,
                                  const std::vector<std::string>& headers, CloudSet& made) {
    const std::string named = disk.uri.empty() ? disk.storageAccount + "\\" + disk.name : disk.uri;
    std::string error;
    const std::optional<BlobAddress> address = BlobAddressOf(blob, disk, error);
    rest::BlobResult taken;
    if (address) taken = blob.send(NX_HTTP_PUT, rest::WithQuery(address->url, "comp=snapshot"), headers);
    if (!address || taken.code == SDK_ERR_NOT_FOUND)
        throw OperationFailure(SDK_ERR_NOT_FOUND, "BlobNotFound: The specified blob does not exist. [" + named + "]");
    if (!taken.ok) throw OperationFailure(taken.code, "Snapshot of blob [" + named + "] failed: " + taken.text);
    const std::string id = taken.reply.header("x-ms-snapshot");
    if (id.empty()) throw OperationFailure(SDK_ERR_GENERAL, "Snapshot of blob [" + named + "] answered no snapshot id");
    made.snapshots.push_back({{"id", SnapshotUrl(address->url, id)}});
    VMInfoStructs::SDisk out = disk;
    out.uri = made.snapshots.back()["id"];
    out.incrementalSnapshot = true;
    return out;
}

}  // namespace

std::string SnapshotUrl(const std::string& url, const std::string& id) { return url + "?snapshot=" + id; }

std::optional<Refusal> ListBlob(rest::BlobClient& blob, const BlobAddress& address, ListedBlob& listed) {
    const std::string query = "?restype=container&comp=list&include=snapshots,metadata&prefix=";
    for (std::string marker;;) {
        const rest::BlobResult page = blob.send(
            NX_HTTP_GET, address.containerUrl + query + rest::Escaped(address.name) +
                             (marker.empty() ? std::string() : "&marker=" + rest::Escaped(marker)));
        if (!page.ok) return Refusal{page.code, page.text};
        pugi::xml_document doc;
        if (!doc.load_buffer(page.reply.body.data(), page.reply.body.size()))
            return Refusal{SDK_ERR_GENERAL, "The blobs of [" + address.containerUrl + "] could not be listed"};
        const pugi::xml_node results = doc.child("EnumerationResults");
        for (const pugi::xml_node& entry : results.child("Blobs").children("Blob"))
            if (entry.child_value("Name") == address.name) AddListed(address, entry, listed);
        marker = results.child_value("NextMarker");
        if (marker.empty()) return std::nullopt;
    }
}

std::optional<Refusal> ReadBlobSets(rest::BlobClient& blob, const std::vector<BlobAddress>& blobs,
                                    std::vector<CloudSet>& sets) {
    std::vector<CloudSet> found;
    for (const BlobAddress& address : blobs) {
        ListedBlob listed;
        const std::optional<Refusal> refusal = ListBlob(blob, address, listed);
        if (refusal && refusal->code != SDK_ERR_NOT_FOUND) return refusal;
        for (const nlohmann::json& snapshot : listed.snapshots) AddToSets(snapshot, found);
    }
    sets = found;
    return std::nullopt;
}

std::optional<Refusal> VmBlobs(rest::ArmClient& arm, const rest::BlobClient& blob, const std::string& vmName,
                               const std::string& vmGuid, const std::string& group, std::vector<BlobAddress>& blobs) {
    const rest::ArmResult vms = rest::ListOfType(arm, "Microsoft.Compute/virtualMachines", rest::kComputeVersion);
    if (!vms.ok) return Refusal{vms.code, vms.text};
    for (const nlohmann::json& vm : vms.body) {
        if (!IsVm(vm, vmName, vmGuid, group)) continue;
        for (const std::string& uri : VhdsOf(vm)) {
            VMInfoStructs::SDisk disk;
            disk.uri = uri;
            std::string error;
            if (const std::optional<BlobAddress> address = BlobAddressOf(blob, disk, error)) blobs.push_back(*address);
        }
    }
    return std::nullopt;
}

std::optional<Refusal> ReadVmBlobSets(rest::ArmClient& arm, rest::BlobClient& blob, const std::string& vmName,
                                      const std::string& vmGuid, const std::string& group,
                                      std::vector<CloudSet>& sets) {
    std::vector<BlobAddress> blobs;
    if (std::optional<Refusal> refusal = VmBlobs(arm, blob, vmName, vmGuid, group, blobs)) return refusal;
    return ReadBlobSets(blob, blobs, sets);
}

std::optional<Refusal> DeleteBlobSet(rest::BlobClient& blob, const CloudSet& set) {
    for (const nlohmann::json& snapshot : set.snapshots) {
        const rest::BlobResult gone = blob.send(NX_HTTP_DELETE, snapshot.value("id", ""));
        if (!gone.ok && gone.code != SDK_ERR_NOT_FOUND) return Refusal{gone.code, gone.text};
    }
    return std::nullopt;
}

std::optional<Refusal> CopyBlob(rest::BlobClient& blob, const std::string& source, const std::string& target) {
    rest::BlobResult answer = blob.send(NX_HTTP_PUT, target, {"x-ms-copy-source: " + source});
    for (int poll = 0; answer.ok && answer.reply.header("x-ms-copy-status") == "pending"; ++poll) {
        if (poll == kMaxCopyPolls) break;
        rest::Pause(rest::RetryAfterMs(answer.reply, rest::kFirstBackoffMs));
        answer = blob.send(NX_HTTP_HEAD, target);
    }
    if (!answer.ok) return Refusal{answer.code, answer.text};
    if (answer.reply.header("x-ms-copy-status") != "success")
        return Refusal{SDK_ERR_GENERAL, "Copying [" + rest::WithoutQuery(source) + "] onto blob [" +
                                            rest::WithoutQuery(target) + "] ended with copy status [" +
                                            answer.reply.header("x-ms-copy-status") + "]"};
    return std::nullopt;
}

std::vector<VMInfoStructs::SDisk> TakeBlobSet(rest::BlobClient& blob, const std::vector<VMInfoStructs::SDisk>& disks,
                                              const std::map<std::string, std::string>& tags) {
    std::vector<std::string> headers;
    for (const auto& [name, value] : tags)
        if (!value.empty()) headers.push_back("x-ms-meta-" + name + ": " + value);
    CloudSet made;
    std::vector<VMInfoStructs::SDisk> out;
    try {
        for (const VMInfoStructs::SDisk& disk : disks) out.push_back(SnapshotBlob(blob, disk, headers, made));
    } catch (const OperationFailure& failure) {
        // Whatever stopped the set, the snapshots taken so far must not outlive it.
        if (const std::optional<Refusal> undone = DeleteBlobSet(blob, made))
            throw OperationFailure(failure.code, std::string(failure.what()) +
                                                     "; the snapshots taken before could not all be deleted: " +
                                                     undone->text);
        throw;
    }
    return out;
}

}  // namespace AzureSDKCppBridge
