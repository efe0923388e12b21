#include "azsim/model/StateDocument.h"

#include <algorithm>
#include <boost/algorithm/string/predicate.hpp>
#include <set>

#include "azsim/Journal.h"
#include "azsim/StateFolder.h"
#include "azsim/model/ResourceIds.h"

namespace azsim {

namespace {

using boost::algorithm::iequals;

// Visits every resource list of the document with its JSON member name.
template <class Document, class Visitor>
void ForEachList(Document& d, Visitor&& visit) {
    visit("subscriptions", d.subscriptions);
    visit("regions", d.regions);
    visit("resourceGroups", d.resourceGroups);
    visit("storageAccounts", d.storageAccounts);
    visit("vms", d.vms);
    visit("managedDisks", d.managedDisks);
    visit("unmanagedDisks", d.unmanagedDisks);
    visit("snapshots", d.snapshots);
    visit("blobSnapshots", d.blobSnapshots);
    visit("snapshotSets", d.snapshotSets);
    visit("virtualNetworks", d.virtualNetworks);
    visit("securityGroups", d.securityGroups);
    visit("networkInterfaces", d.networkInterfaces);
    visit("publicIps", d.publicIps);
    visit("deployments", d.deployments);
    visit("images", d.images);
    visit("templates", d.templates);
}

template <class T, class Match>
const T* FindIf(const std::vector<T>& list, Match&& match) {
    auto it = std::find_if(list.begin(), list.end(), match);
    return it == list.end() ? nullptr : &*it;
}

// Resources named within a group; an empty group matches any.
template <class T>
const T* FindInGroup(const std::vector<T>& list, const std::string& name, const std::string& resourceGroup) {
    return FindIf(list, [&](const T& item) {
        return iequals(item.name, name) && (resourceGroup.empty() || iequals(item.resourceGroup, resourceGroup));
    });
}

std::string WithoutSpaces(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != ' ') out += c;
    return out;
}

bool SameBlob(const BlobKey& a, const BlobKey& b) {
    return iequals(a.account, b.account) && iequals(a.container, b.container) && a.name == b.name;
}

}  // namespace

StateDocument StateDocument::fromJson(const nlohmann::json& document) {
    if (!document.is_object()) throw Error("state document is not a JSON object");
    StateDocument out;
    std::set<std::string> known;
    try {
        ForEachList(out, [&](const char* key, auto& list) {
            known.insert(key);
            auto it = document.find(key);
            if (it != document.end() && !it->is_null()) it->get_to(list);
        });
    } catch (const nlohmann::json::exception& e) {
        throw Error(std::string("state document has a malformed resource: ") + e.what());
    }
    for (auto it = document.begin(); it != document.end(); ++it)
        if (!known.count(it.key())) out.extra[it.key()] = it.value();
    return out;
}

nlohmann::json StateDocument::toJson() const {
    nlohmann::json out = extra.is_object() ? extra : nlohmann::json::object();
    ForEachList(*this, [&](const char* key, const auto& list) { out[key] = list; });
    return Utf8Escaped(std::move(out));
}

const Subscription& StateDocument::subscription() const {
    if (subscriptions.empty()) throw Error("state document holds no subscription");
    return subscriptions.front();
}

const Subscription* StateDocument::findSubscription(const std::string& id) const {
    return FindIf(subscriptions, [&](const Subscription& s) { return iequals(s.id, id); });
}

const Region* StateDocument::findRegion(const std::string& name) const {
    std::string wanted = WithoutSpaces(name);
    return FindIf(regions, [&](const Region& r) {
        return iequals(r.name, wanted) || iequals(WithoutSpaces(r.displayName), wanted);
    });
}

const ResourceGroup* StateDocument::findResourceGroup(const std::string& name) const {
    return FindIf(resourceGroups, [&](const ResourceGroup& g) { return iequals(g.name, name); });
}

const StorageAccount* StateDocument::findStorageAccount(const std::string& name) const {
    return FindIf(storageAccounts, [&](const StorageAccount& a) { return iequals(a.name, name); });
}

const VirtualMachine* StateDocument::findVm(const std::string& name, const std::string& resourceGroup) const {
    return FindInGroup(vms, name, resourceGroup);
}

const VirtualMachine* StateDocument::findVmByGuid(const std::string& guid) const {
    return FindIf(vms, [&](const VirtualMachine& vm) { return iequals(vm.guid, guid); });
}

const ManagedDisk* StateDocument::findManagedDisk(const std::string& id) const {
    return FindIf(managedDisks, [&](const ManagedDisk& d) { return iequals(d.id, id); });
}

const ManagedDisk* StateDocument::findManagedDiskByName(const std::string& name,
                                                        const std::string& resourceGroup) const {
    return FindInGroup(managedDisks, name, resourceGroup);
}

const UnmanagedDisk* StateDocument::findUnmanagedDisk(const BlobKey& blob) const {
    return FindIf(unmanagedDisks, [&](const UnmanagedDisk& d) { return SameBlob(d.blob, blob); });
}

const ManagedSnapshot* StateDocument::findSnapshot(const std::string& id) const {
    return FindIf(snapshots, [&](const ManagedSnapshot& s) { return iequals(s.id, id); });
}

const ManagedSnapshot* StateDocument::findSnapshotByName(const std::string& name,
                                                         const std::string& resourceGroup) const {
    return FindInGroup(snapshots, name, resourceGroup);
}

const BlobSnapshot* StateDocument::findBlobSnapshot(const BlobKey& blob, const std::string& storeSnapshot) const {
    return FindIf(blobSnapshots,
                  [&](const BlobSnapshot& s) { return SameBlob(s.blob, blob) && s.storeSnapshot == storeSnapshot; });
}

const SnapshotSet* StateDocument::findSnapshotSet(const std::string& guid) const {
    return FindIf(snapshotSets, [&](const SnapshotSet& s) { return iequals(s.guid, guid); });
}

const VirtualNetwork* StateDocument::findVirtualNetwork(const std::string& name,
                                                        const std::string& resourceGroup) const {
    return FindInGroup(virtualNetworks, name, resourceGroup);
}

const SecurityGroup* StateDocument::findSecurityGroup(const std::string& name, const std::string& resourceGroup) const {
    return FindInGroup(securityGroups, name, resourceGroup);
}

const NetworkInterface* StateDocument::findNetworkInterface(const std::string& name,
                                                            const std::string& resourceGroup) const {
    return FindInGroup(networkInterfaces, name, resourceGroup);
}

const PublicIpAddress* StateDocument::findPublicIp(const std::string& name, const std::string& resourceGroup) const {
    return FindInGroup(publicIps, name, resourceGroup);
}

std::optional<BlobKey> StateDocument::diskBlob(const VirtualMachine& vm, std::size_t index) const {
    if (index >= vm.disks.size()) return std::nullopt;
    const std::string& id = vm.disks[index].id;
    if (vm.managed) {
        const ManagedDisk* disk = findManagedDisk(id);
        if (!disk) return std::nullopt;
        return disk->blob;
    }
    auto uri = ParseBlobUri(id);
    if (!uri) return std::nullopt;
    return uri->key();
}

}  // namespace azsim
