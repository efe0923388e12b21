#include "cloudsdk/ArmDeployment.h"

#include <algorithm>
#include <set>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "cloudsdk/BlobAddress.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/ListedPageBlob.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/VmCreation.h"
#include "cloudsdk/VmRemoval.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"

namespace AzureSDKCppBridge {

using boost::algorithm::iequals;
using nlohmann::json;
using VMInfoStructs::SDisk;

std::string ImportedDiskNameOf(const std::string& url) {
    std::string name = rest::WithoutQuery(url);
    name = name.substr(name.rfind('/') + 1);
    if (boost::algorithm::iends_with(name, ".vhd")) name.resize(name.size() - 4);
    return name;
}

// One deployment: what it read, what it made (to delete again when the VM is not made).
class ArmDeployer {
public:
    ArmDeployer(rest::ArmClient& arm, rest::BlobClient& blob, const DeploymentAsk& ask)
        : arm_(arm), blob_(blob), ask_(ask), sub_("/subscriptions/" + arm.subscriptionId()) {}

    rest::ArmResult run(DeployedVm& out) {
        rest::ArmResult result = readGroupAndRegion();
        if (result.ok) result = checkName();
        if (result.ok) result = readDisks();
        if (result.ok) result = readNetwork();
        if (result.ok) result = readImports();
        if (!result.ok) return result;
        result = create(out);
        if (!result.ok && !out.created) undo(result);
        return result;
    }

private:
    // A disk of the VM: its LUN (-1: the OS disk), a managed disk's id or a page blob's URL.
    struct Disk {
        int lun = -1;
        std::string managedId;
        std::string url;
        std::string account;
        json makeBody;  // the body of the managed disk this call makes for it (an import or a copy)
    };
    // A network card: the interface's id, its subnet and security group, its body when it exists.
    struct Card {
        std::string id;
        std::string subnetId;
        std::string securityGroupId;
        json kept;
    };

    static rest::ArmResult refused(const std::string& text) {
        rest::ArmResult result;
        result.code = SDK_ERR_GENERAL;
        result.text = text;
        return result;
    }
    std::string inGroup(const std::string& type, const std::string& name) const {
        return sub_ + "/resourceGroups/" + group_ + "/providers/" + type + "/" + name;
    }
    bool gen2() const { return iequals(ask_.vm.firmware, "efi"); }

    std::vector<std::string> zones() const {
        std::vector<std::string> out;
        const std::string& text = ask_.vm.availabilityZones;
        if (iequals(text, "None")) return out;
        for (std::size_t start = 0; start <= text.size();) {
            const std::size_t comma = std::min(text.find(',', start), text.size());
            const std::string zone = boost::algorithm::trim_copy(text.substr(start, comma - start));
            if (!zone.empty()) out.push_back(zone);
            start = comma + 1;
        }
        return out;
    }

    rest::ArmResult readGroupAndRegion() {
        rest::ArmResult group = arm_.get(sub_ + "/resourcegroups/" + ask_.vm.resourceGroup, rest::kResourcesVersion);
        if (!group.ok) return group;
        group_ = group.body.value("name", ask_.vm.resourceGroup);
        const std::string wanted = ask_.vm.region.empty() ? group.body.value("location", "") : ask_.vm.region;
        const rest::ArmResult locations = arm_.list(sub_ + "/locations", rest::kSubscriptionsVersion);
        if (!locations.ok) return locations;
        for (const json& location : locations.body)
            if (iequals(location.value("name", ""), wanted) || iequals(location.value("displayName", ""), wanted))
                region_ = location.value("name", "");
        if (region_.empty())
            return refused("LocationNotAvailableForResourceType: The provided location '" + wanted +
                           "' is not available for resource type 'Microsoft.Compute/virtualMachines'.");
        return Done();
    }

    // A create of a name that is taken would change that VM instead.
    rest::ArmResult checkName() {
        if (ask_.vm.name.empty()) return refused("InvalidParameter: The VM has no name.");
        vmId_ = inGroup("Microsoft.Compute/virtualMachines", ask_.vm.name);
        const rest::ArmResult vm = arm_.get(vmId_, rest::kComputeVersion);
        if (vm.ok)
            return refused("Conflict: A VM named '" + ask_.vm.name + "' already exists in resource group '" + group_ +
                           "'.");
        return vm.code == SDK_ERR_NOT_FOUND ? Done() : vm;
    }

    // The URL of the page blob an entry names: its own URL, else its name in "account" or
    // "account\container" (container "vhds" when absent).
    rest::ArmResult blobOf(const SDisk& entry, Disk& disk) const {
        if (!entry.uri.empty()) {
            const std::size_t scheme = entry.uri.find("://");
            const std::size_t container = scheme == std::string::npos ? scheme : entry.uri.find('/', scheme + 3);
            const std::size_t name = container == std::string::npos ? container : entry.uri.find('/', container + 1);
            if (name == std::string::npos || !boost::algorithm::istarts_with(entry.uri, "http") ||
                !rest::QueryValue(entry.uri, "snapshot").empty())
                return refused("InvalidParameter: The URI '" + entry.uri + "' of disk '" + entry.name +
                               "' is not a blob URL.");
            disk.url = rest::WithoutQuery(entry.uri);
            disk.account = disk.url.substr(scheme + 3, disk.url.find('.', scheme + 3) - scheme - 3);
            return Done();
        }
        const std::size_t slash = entry.storageAccount.find('\\');
        disk.account = entry.storageAccount.substr(0, slash);
        const std::string container = slash == std::string::npos ? "vhds" : entry.storageAccount.substr(slash + 1);
        if (disk.account.empty() || entry.name.empty())
            return refused("InvalidParameter: Disk '" + entry.name + "' names no storage account and blob.");
        disk.url = blob_.url(disk.account, container, entry.name);
        return Done();
    }

    rest::ArmResult readDisks() {
        std::vector<SDisk> entries = ask_.vm.disks;
        const auto isOs = [](const SDisk& d) { return d.isOsDisk; };
        if (std::none_of(entries.begin(), entries.end(), isOs) && !ask_.osDiskName.empty() && !ask_.managed) {
            SDisk os;
            os.name = ask_.osDiskName;
            os.storageAccount = ask_.vm.storageAccount;
            os.isOsDisk = true;
            entries.insert(entries.begin(), os);
        }
        const auto osCount = std::count_if(entries.begin(), entries.end(), isOs);
        if (osCount != 1)
            return refused("InvalidParameter: The VM needs exactly one OS disk; " + std::to_string(osCount) +
                           " are marked.");
        const SDisk& os = *std::find_if(entries.begin(), entries.end(), isOs);
        if (!ask_.osDiskName.empty() && os.name != ask_.osDiskName)
            return refused("InvalidParameter: The OS disk '" + ask_.osDiskName +
                           "' is not the disk the list marks as OS disk ('" + os.name + "').");
        std::set<int> luns;
        for (const SDisk& entry : entries)
            if (!entry.isOsDisk && !luns.insert(entry.unitNumber).second)
                return refused("InvalidParameter: LUN " + std::to_string(entry.unitNumber) +
                               " is used by more than one disk.");
        for (const SDisk& entry : entries) {
            Disk disk;
            disk.lun = entry.isOsDisk ? -1 : entry.unitNumber;
            disk.managedId = entry.managedDiskId;
            if (disk.managedId.empty()) {
                const rest::ArmResult named = blobOf(entry, disk);
                if (!named.ok) return named;
            }
            // The OS disk comes first.
            disks_.insert(entry.isOsDisk ? disks_.begin() : disks_.end(), disk);
        }
        return Done();
    }

    rest::ArmResult readNetwork() {
        std::vector<VMInfoStructs::SVMNetworkCard> cards = ask_.vm.nics;
        if (cards.empty()) cards.emplace_back();  // one card on the region's first network
        const rest::ArmResult networks = rest::ListOfType(arm_, "Microsoft.Network/virtualNetworks", rest::kNetworkVersion);
        if (!networks.ok) return networks;
        for (const VMInfoStructs::SVMNetworkCard& wanted : cards) {
            const auto network = std::find_if(networks.body.begin(), networks.body.end(), [&](const json& n) {
                return iequals(n.value("location", ""), region_) &&
                       (wanted.networkName.empty() || iequals(n.value("name", ""), wanted.networkName));
            });
            if (network == networks.body.end())
                return refused(wanted.networkName.empty()
                                   ? "InvalidResourceReference: Location '" + region_ +
                                         "' has no virtual network for the VM's network interface."
                                   : "InvalidResourceReference: Virtual network '" + wanted.networkName +
                                         "' was not found in location '" + region_ + "'.");
            const json subnets = network->value("properties", json::object()).value("subnets", json::array());
            const auto subnet = std::find_if(subnets.begin(), subnets.end(), [&](const json& s) {
                return wanted.subnetId.empty() || iequals(s.value("name", ""), wanted.subnetId) ||
                       iequals(s.value("id", ""), wanted.subnetId);
            });
            if (subnet == subnets.end())
                return refused("InvalidResourceReference: Subnet '" + wanted.subnetId +
                               "' was not found in virtual network '" + network->value("name", "") + "'.");
            Card card;
            card.id = inGroup("Microsoft.Network/networkInterfaces", ask_.vm.name + "-nic" + std::to_string(cards_.size()));
            card.subnetId = subnet->value("id", "");
            cards_.push_back(card);
        }
        rest::ArmResult result = readSecurityGroups();
        for (Card& card : cards_) {
            if (!result.ok) return result;
            result = readKept(card.id, rest::kNetworkVersion, card.kept);
            const std::string holder = ConfigText(card.kept, "/properties/virtualMachine/id");
            if (result.ok && !holder.empty())
                return refused("Conflict: Network interface '" + card.kept.value("name", "") +
                               "' belongs to another VM.");
        }
        if (result.ok && ask_.publicIp) {
            ipId_ = inGroup("Microsoft.Network/publicIPAddresses", ask_.vm.name + "-ip");
            result = readKept(ipId_, rest::kNetworkVersion, keptIp_);
        }
        return result;
    }

    // The resource `id` when it is there (null when not).
    rest::ArmResult readKept(const std::string& id, const char* version, json& out) {
        const rest::ArmResult read = arm_.get(id, version);
        if (read.ok) out = read.body;
        return read.ok || read.code == SDK_ERR_NOT_FOUND ? Done() : read;
    }

    // The security groups the record names (by id or name), one to each card in turn; the last
    // card takes the last group when there are fewer groups than cards.
    rest::ArmResult readSecurityGroups() {
        const std::vector<VMInfoStructs::SSecurityGroupInfo>& wanted = ask_.vm.securityGroups;
        if (wanted.empty()) return Done();
        const rest::ArmResult groups =
            rest::ListOfType(arm_, "Microsoft.Network/networkSecurityGroups", rest::kNetworkVersion);
        if (!groups.ok) return groups;
        std::vector<std::string> ids;
        for (const VMInfoStructs::SSecurityGroupInfo& group : wanted) {
            const auto found = std::find_if(groups.body.begin(), groups.body.end(), [&](const json& g) {
                return (!group.id.empty() && iequals(g.value("id", ""), group.id)) ||
                       (!group.name.empty() && iequals(g.value("name", ""), group.name));
            });
            if (found == groups.body.end())
                return refused("InvalidResourceReference: Network security group '" +
                               (group.name.empty() ? group.id : group.name) + "' was not found.");
            ids.push_back(found->value("id", ""));
        }
        if (ids.size() > cards_.size())
            return refused("InvalidParameter: " + std::to_string(ids.size()) + " security groups were given for " +
                           std::to_string(cards_.size()) + " network interfaces; an interface takes one.");
        for (std::size_t i = 0; i < cards_.size(); ++i) cards_[i].securityGroupId = ids[std::min(i, ids.size() - 1)];
        return Done();
    }

    // The disk-create body of each page blob a managed VM imports: into a free name of the group, its
    // SKU that of the blob's account, tagged with the blob's metadata and the job.
    rest::ArmResult readImports() {
        if (ask_.copyDisks) return readCopies();
        if (!ask_.managed || std::all_of(disks_.begin(), disks_.end(), [](const Disk& d) { return d.url.empty(); }))
            return Done();
        const rest::ArmResult accounts = rest::ListOfType(arm_, "Microsoft.Storage/storageAccounts", rest::kStorageVersion);
        if (!accounts.ok) return accounts;
        std::set<std::string> names;
        for (Disk& disk : disks_) {
            if (disk.url.empty()) continue;
            const auto account = std::find_if(accounts.body.begin(), accounts.body.end(),
                                              [&](const json& a) { return iequals(a.value("name", ""), disk.account); });
            if (account == accounts.body.end())
                return refused("InvalidParameter: The storage account '" + disk.account + "' of disk '" + disk.url +
                               "' does not exist in this subscription.");
            rest::ArmResult result = claimName(ImportedDiskNameOf(disk.url), names, disk);
            if (result.ok) result = importBody(disk, *account);
            if (!result.ok) return result;
        }
        return Done();
    }

    // The disk `disk` gets is made as `name`, which neither the group nor this call has used.
    rest::ArmResult claimName(const std::string& name, std::set<std::string>& names, Disk& disk) {
        const std::string id = inGroup("Microsoft.Compute/disks", name);
        json taken;
        const rest::ArmResult read = readKept(id, rest::kDiskVersion, taken);
        if (!read.ok) return read;
        if (!names.insert(name).second || !taken.is_null())
            return refused("Conflict: A disk named '" + name + "' already exists in resource group '" + group_ + "'.");
        disk.managedId = id;
        return Done();
    }

    // The copies of a clone: a managed disk copied with its SKU, a page blob imported as a standard disk.
    rest::ArmResult readCopies() {
        const rest::ArmResult accounts = rest::ListOfType(arm_, "Microsoft.Storage/storageAccounts", rest::kStorageVersion);
        if (!accounts.ok) return accounts;
        std::set<std::string> names;
        for (Disk& disk : disks_) {
            const std::string source = disk.managedId;
            const std::string name = ask_.vm.name + (disk.lun < 0 ? "-osdisk" : "-data" + std::to_string(disk.lun));
            rest::ArmResult result = claimName(name, names, disk);
            if (!result.ok) return result;
            if (source.empty()) {
                const auto account = std::find_if(accounts.body.begin(), accounts.body.end(), [&](const json& a) {
                    return iequals(a.value("name", ""), disk.account);
                });
                result = account == accounts.body.end() ? importBody(disk, json::object()) : importBody(disk, *account);
                disk.makeBody["sku"]["name"] = "Standard_LRS";
                disk.url.clear();
                if (!result.ok) return result;
                continue;
            }
            const rest::ArmResult original = arm_.get(source, rest::kDiskVersion);
            if (!original.ok)
                return original.code == SDK_ERR_NOT_FOUND
                           ? refused("NotFound: The disk '" + source + "' of the source VM was not found.")
                           : original;
            disk.makeBody = {{"location", region_},
                             {"sku", original.body.value("sku", json{{"name", "Standard_LRS"}})},
                             {"tags", {{kCreatedByJobTag, ask_.job}}},
                             {"properties", {{"creationData", {{"createOption", "Copy"}, {"sourceResourceId", source}}}}}};
            if (original.body.contains("zones")) disk.makeBody["zones"] = original.body["zones"];
        }
        return Done();
    }

    rest::ArmResult importBody(Disk& disk, const json& account) {
        ListedPageBlob listed;
        std::string error;
        VMInfoStructs::SDisk named;
        named.uri = disk.url;
        const std::optional<BlobAddress> address = BlobAddressOf(blob_, named, error);
        const rest::ArmResult read = address ? ListPageBlob(blob_, *address, listed) : Done();
        if (!read.ok) return read;
        // A replica's blob carries marks (its replication GUID) the disk keeps; the OS type is a disk field.
        json tags = json::object();
        for (const auto& [key, value] : listed.metadata)
            if (!iequals(key, kRegisteredOsTypeTag)) tags[key] = value;
        tags[kCreatedByJobTag] = ask_.job;
        const bool premium = boost::algorithm::istarts_with(ConfigText(account, "/sku/name"), "Premium");
        json properties = {{"creationData",
                            {{"createOption", "Import"},
                             {"sourceUri", disk.url},
                             {"storageAccountId", account.value("id", "")}}}};
        if (disk.lun < 0) {
            const std::string osType = osTypeOf(listed.value(kRegisteredOsTypeTag));
            if (!osType.empty()) properties["osType"] = osType;
            properties["hyperVGeneration"] = gen2() ? "V2" : "V1";
        }
        disk.makeBody = {{"location", region_},
                           {"sku", {{"name", premium ? "Premium_LRS" : "Standard_LRS"}}},
                           {"tags", tags},
                           {"properties", properties}};
        if (!zones().empty()) disk.makeBody["zones"] = zones();
        return Done();
    }

    // The OS type the configuration names, else `fallback`.
    std::string osTypeOf(const std::string& fallback) const {
        const std::string configured = ConfigText(ask_.config, "/properties/storageProfile/osDisk/osType");
        return configured.empty() ? fallback : configured;
    }

    // Puts `body` at `id`; a resource new to the group is remembered as this call's.
    rest::ArmResult put(const std::string& id, const char* version, const json& body, bool isNew) {
        rest::ArmResult result = arm_.put(id, version, body);
        if (result.ok && isNew) made_.emplace_back(result.body.value("id", id), version);
        return result;
    }

    json interfaceBody(const Card& card, bool first) const {
        const json tags = {{kCreatedByJobTag, ask_.job}};
        json body = card.kept.is_object() ? card.kept : json{{"tags", tags}};
        body["location"] = region_;
        json& config = body["properties"]["ipConfigurations"];
        if (!config.is_array() || config.empty()) config = json::array({{{"name", "ipconfig1"}}});
        json& ip = config[0]["properties"];
        ip["subnet"] = {{"id", card.subnetId}};
        ip["privateIPAllocationMethod"] = "Dynamic";
        ip["primary"] = true;
        if (first && ask_.publicIp) ip["publicIPAddress"] = {{"id", ipId_}};
        if (!card.securityGroupId.empty()) body["properties"]["networkSecurityGroup"] = {{"id", card.securityGroupId}};
        return body;
    }

    json diskReference(const Disk& disk) const {
        json out = {{"createOption", "Attach"}};
        if (disk.managedId.empty())
            out["vhd"] = {{"uri", disk.url}};
        else
            out["managedDisk"] = {{"id", disk.managedId}};
        if (disk.lun >= 0) out["lun"] = disk.lun;
        return out;
    }

    json osDiskBody() const {
        json os = diskReference(disks_.front());
        const std::string osType = osTypeOf("");
        if (!osType.empty()) os["osType"] = osType;
        if (ask_.dekBackup.empty() && ask_.kekBackup.empty()) return os;
        const json vault = {{"id", ConfigText(ask_.config, "/properties/storageProfile/osDisk/encryptionSettings/"
                                                     "diskEncryptionKey/sourceVault/id")}};
        os["encryptionSettings"] = {{"enabled", true},
                                    {"diskEncryptionKey", {{"secretUrl", ask_.dekBackup}, {"sourceVault", vault}}}};
        if (!ask_.kekBackup.empty())
            os["encryptionSettings"]["keyEncryptionKey"] = {{"keyUrl", ask_.kekBackup}, {"sourceVault", vault}};
        return os;
    }

    json vmBody() const {
        json tags = json::object();
        const json configured = ask_.config.value("tags", json::object());
        for (const auto& [key, value] : configured.items())
            if (value.is_string()) tags[key] = value;
        tags[kCreatedByJobTag] = ask_.job;
        json dataDisks = json::array(), interfaces = json::array();
        for (std::size_t i = 1; i < disks_.size(); ++i) dataDisks.push_back(diskReference(disks_[i]));
        for (std::size_t i = 0; i < cards_.size(); ++i)
            interfaces.push_back({{"id", cards_[i].id}, {"properties", {{"primary", i == 0}}}});
        json properties = {{"hardwareProfile", {{"vmSize", ask_.vm.vmSize}}},
                           {"storageProfile", {{"osDisk", osDiskBody()}, {"dataDisks", dataDisks}}},
                           {"networkProfile", {{"networkInterfaces", interfaces}}},
                           {"diagnosticsProfile", {{"bootDiagnostics", {{"enabled", true}}}}}};
        if (gen2()) properties["securityProfile"] = {{"uefiSettings", {{"secureBootEnabled", false}, {"vTpmEnabled", false}}}};
        json body = {{"location", region_}, {"tags", tags}, {"properties", properties}};
        if (!zones().empty()) body["zones"] = zones();
        return body;
    }

    rest::ArmResult create(DeployedVm& out) {
        rest::ArmResult result = Done();
        for (const Disk& disk : disks_) {
            if (disk.makeBody.is_null()) continue;
            if (!(result = put(disk.managedId, rest::kDiskVersion, disk.makeBody, true)).ok) return result;
            if (!disk.url.empty()) out.importedFrom.push_back(disk.url);
        }
        if (ask_.publicIp && keptIp_.is_null()) {
            const json ip = {{"location", region_},
                             {"tags", {{kCreatedByJobTag, ask_.job}}},
                             {"sku", {{"name", "Standard"}}},
                             {"properties", {{"publicIPAllocationMethod", "Static"}}}};
            if (!(result = put(ipId_, rest::kNetworkVersion, ip, true)).ok) return result;
        }
        for (std::size_t i = 0; i < cards_.size(); ++i)
            if (!(result = put(cards_[i].id, rest::kNetworkVersion, interfaceBody(cards_[i], i == 0),
                               cards_[i].kept.is_null()))
                     .ok)
                return result;
        result = arm_.put(vmId_, rest::kComputeVersion, vmBody());
        if (!result.ok) return result;
        out.created = true;
        out.guid = ConfigText(result.body, "/properties/vmId");
        // A VM is made running; one asked for stopped is deallocated at once.
        if (!ask_.powerOn) result = arm_.action(vmId_ + "/deallocate", rest::kComputeVersion, true, nullptr, false);
        return result;
    }

    // Deletes what this call made, newest first (an interface before the address it uses); what
    // cannot be deleted is named after the failure, which stays the one reported.
    void undo(rest::ArmResult& failure) {
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
            const rest::ArmResult gone = arm_.remove(it->first, it->second);
            if (!gone.ok && gone.code != SDK_ERR_NOT_FOUND)
                failure.text += " The resource " + it->first + " made for it is left: " + gone.text;
        }
    }

    rest::ArmClient& arm_;
    rest::BlobClient& blob_;
    const DeploymentAsk& ask_;
    const std::string sub_;
    std::string group_;
    std::string region_;
    std::string vmId_;
    std::string ipId_;
    json keptIp_;
    std::vector<Disk> disks_;
    std::vector<Card> cards_;
    std::vector<std::pair<std::string, const char*>> made_;
};

rest::ArmResult DeployOverRest(rest::ArmClient& arm, rest::BlobClient& blob, const DeploymentAsk& ask,
                               DeployedVm& out) {
    return ArmDeployer(arm, blob, ask).run(out);
}

}  // namespace AzureSDKCppBridge
