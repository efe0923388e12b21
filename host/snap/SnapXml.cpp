// XML form of snap records and VM records, read back with every field checked.
#include "host/snap/SnapXml.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <type_traits>

#include "host/util/FileSystem.h"

using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;

namespace snapxml {

namespace {

// Fields of one record type, by attribute name, for writing and checked reading.
template <typename Record>
struct FieldTable {
    std::vector<std::pair<const char*, std::string Record::*>> texts;
    std::vector<std::pair<const char*, bool Record::*>> flags;
    std::vector<std::pair<const char*, std::int32_t Record::*>> int32s;
    std::vector<std::pair<const char*, std::uint32_t Record::*>> uint32s;
    std::vector<std::pair<const char*, long long Record::*>> int64s;
};

const FieldTable<SDisk>& DiskFields() {
    static const FieldTable<SDisk> table{
        {{"name", &SDisk::name}, {"uri", &SDisk::uri}, {"managedDiskId", &SDisk::managedDiskId},
         {"indexName", &SDisk::indexName}, {"storageAccount", &SDisk::storageAccount},
         {"backupStorageAccount", &SDisk::backupStorageAccount}, {"resourceGroup", &SDisk::resourceGroup},
         {"guid", &SDisk::guid}, {"volumeType", &SDisk::volumeType}, {"originalName", &SDisk::originalName},
         {"namePrefix", &SDisk::namePrefix}, {"changeId", &SDisk::changeId}},
        {{"isOsDisk", &SDisk::isOsDisk}, {"isFiltered", &SDisk::isFiltered}, {"isManaged", &SDisk::isManaged},
         {"isEncrypted", &SDisk::isEncrypted}, {"incrementalSnapshot", &SDisk::incrementalSnapshot}},
        {{"unitNumber", &SDisk::unitNumber}, {"type", &SDisk::type}, {"includeFlag", &SDisk::includeFlag},
         {"volumeSlot", &SDisk::volumeSlot}, {"diskFormat", &SDisk::diskFormat}},
        {},
        {{"capacity", &SDisk::capacity}}};
    return table;
}

const FieldTable<SVMInfo>& VmFields() {
    static const FieldTable<SVMInfo> table{
        {{"name", &SVMInfo::name}, {"guid", &SVMInfo::guid}, {"displayName", &SVMInfo::displayName},
         {"resourceGroup", &SVMInfo::resourceGroup}, {"storageAccount", &SVMInfo::storageAccount},
         {"region", &SVMInfo::region}, {"firmware", &SVMInfo::firmware}, {"vmSize", &SVMInfo::vmSize},
         {"snapStatusDetails", &SVMInfo::snapStatusDetails}, {"snapshotGuid", &SVMInfo::snapshotGuid},
         {"availabilityZones", &SVMInfo::availabilityZones}},
        {{"isManaged", &SVMInfo::isManaged}},
        {},
        {{"snapStatus", &SVMInfo::snapStatus}, {"archiveFileId", &SVMInfo::archiveFileId}},
        {}};
    return table;
}

template <typename Record>
void WriteFields(pugi::xml_node node, const FieldTable<Record>& table, const Record& record) {
    for (const auto& [name, member] : table.texts) node.append_attribute(name) = (record.*member).c_str();
    for (const auto& [name, member] : table.flags) node.append_attribute(name) = (record.*member) ? 1 : 0;
    for (const auto& [name, member] : table.int32s) node.append_attribute(name) = record.*member;
    for (const auto& [name, member] : table.uint32s) node.append_attribute(name) = record.*member;
    for (const auto& [name, member] : table.int64s) node.append_attribute(name) = record.*member;
}

template <typename Number>
bool ReadNumber(const pugi::xml_node& node, const char* name, Number& value, std::string& error) {
    const pugi::xml_attribute attribute = node.attribute(name);
    const char* text = attribute.value();
    const char* end = text + std::strlen(text);
    Number parsed{};
    const auto [ptr, ec] = std::from_chars(text, end, parsed);
    if (!attribute || ec != std::errc() || ptr != end || text == end) {
        error = std::string("attribute '") + name + "' of <" + node.name() + "> is missing or not a number: [" +
                text + "]";
        return false;
    }
    value = parsed;
    return true;
}

template <typename Record>
bool ReadFields(const pugi::xml_node& node, const FieldTable<Record>& table, Record& record, std::string& error) {
    for (const auto& [name, member] : table.texts) {
        const pugi::xml_attribute attribute = node.attribute(name);
        if (!attribute) {
            error = std::string("attribute '") + name + "' of <" + node.name() + "> is missing";
            return false;
        }
        record.*member = attribute.value();
    }
    for (const auto& [name, member] : table.flags) {
        int flag = 0;
        if (!ReadNumber(node, name, flag, error)) return false;
        if (flag != 0 && flag != 1) {
            error = std::string("attribute '") + name + "' of <" + node.name() + "> is neither 0 nor 1";
            return false;
        }
        record.*member = flag == 1;
    }
    for (const auto& [name, member] : table.int32s)
        if (!ReadNumber(node, name, record.*member, error)) return false;
    for (const auto& [name, member] : table.uint32s)
        if (!ReadNumber(node, name, record.*member, error)) return false;
    for (const auto& [name, member] : table.int64s)
        if (!ReadNumber(node, name, record.*member, error)) return false;
    return true;
}

}  // namespace

bool Load(const std::string& path, pugi::xml_document& doc, std::string& error) {
    const pugi::xml_parse_result result = doc.load_file(path.c_str());
    if (result) return true;
    error = "cannot read XML file [" + path + "]: " + result.description();
    return false;
}

bool SaveAtomically(const pugi::xml_document& doc, const std::string& path, std::string& error) {
    const std::string parent = std::filesystem::path(path).parent_path().string();
    if (!parent.empty() && !CreateFolderIfNotPresent(parent, &error)) return false;
    const std::string temporary = path + ".new" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::trunc);
        doc.save(out, "  ");
        out.flush();
        if (!out) {
            error = "cannot write [" + temporary + "]: " + std::strerror(errno);
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot replace [" + path + "]: " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

void WriteVm(pugi::xml_node vmNode, const SVMInfo& vm) {
    WriteFields(vmNode, VmFields(), vm);
    for (const SDisk& disk : vm.disks) WriteFields(vmNode.append_child("disk"), DiskFields(), disk);
}

bool ReadVm(const pugi::xml_node& vmNode, SVMInfo& vm, std::string& error) {
    if (!ReadFields(vmNode, VmFields(), vm, error)) return false;
    if (vm.guid.empty()) {
        error = "attribute 'guid' of <vm> is empty";
        return false;
    }
    vm.disks.clear();
    for (const pugi::xml_node& diskNode : vmNode.children("disk")) {
        SDisk disk;
        if (!ReadFields(diskNode, DiskFields(), disk, error)) {
            error = "VM [" + vm.guid + "]: " + error;
            return false;
        }
        vm.disks.push_back(disk);
    }
    return true;
}

namespace {

const FieldTable<SMVolumeInfo>& VolumeFields() {
    static const FieldTable<SMVolumeInfo> table{
        {{"sourcePath", &SMVolumeInfo::sourcePath}, {"sourceGuid", &SMVolumeInfo::sourceGuid},
         {"sourceDevice", &SMVolumeInfo::sourceDevice}, {"serverCredentials", &SMVolumeInfo::serverCredentials}},
        {},
        {{"hypervisorType", &SMVolumeInfo::hypervisorType}},
        {{"volumeId", &SMVolumeInfo::volumeId}, {"orbitId", &SMVolumeInfo::orbitId}, {"appId", &SMVolumeInfo::appId},
         {"appTypeId", &SMVolumeInfo::appTypeId}, {"originClientId", &SMVolumeInfo::originClientId},
         {"sourceClientId", &SMVolumeInfo::sourceClientId}, {"archiveFileId", &SMVolumeInfo::archiveFileId},
         {"arrayNum", &SMVolumeInfo::arrayNum}},
        {{"jobId", &SMVolumeInfo::jobId}, {"masterJobId", &SMVolumeInfo::masterJobId}}};
    return table;
}

const FieldTable<SMSnapInfo>& SnapFields() {
    static const FieldTable<SMSnapInfo> table{
        {{"uniqueIdentifier", &SMSnapInfo::uniqueIdentifier}, {"errorText", &SMSnapInfo::errorText}},
        {},
        {{"status", &SMSnapInfo::status}, {"errorCode", &SMSnapInfo::errorCode}},
        {{"snapId", &SMSnapInfo::snapId}},
        {}};
    return table;
}

}  // namespace

void WriteVolSnapInfo(pugi::xml_node node, const SMVolSnapInfo& info) {
    node.append_attribute("jobId") = info.jobId;
    node.append_attribute("arrayNum") = info.arrayNum;
    node.append_attribute("snapActionFlags") = static_cast<unsigned long long>(info.getSnapActionFlagsEx());
    for (const SMVolumeInfo& volume : info.volumes) {
        pugi::xml_node volumeNode = node.append_child("volume");
        WriteFields(volumeNode, VolumeFields(), volume);
        volumeNode.append_attribute("volumeFlags") = static_cast<unsigned long long>(volume.volumeFlags);
        for (const auto& [key, text] : volume.transientMetadata) {
            pugi::xml_node item = volumeNode.append_child("transient");
            item.append_attribute("key") = key;
            item.append_attribute("text") = text.c_str();
        }
    }
    for (const SMSnapInfo& snap : info.snaps) {
        pugi::xml_node snapNode = node.append_child("snap");
        WriteFields(snapNode, SnapFields(), snap);
        snapNode.append_attribute("createdAt") = static_cast<long long>(snap.createdAt);
    }
    for (const SMVolSnapMapInfo& entry : info.volSnapMap) {
        pugi::xml_node mapNode = node.append_child("map");
        mapNode.append_attribute("volumeId") = entry.volumeId;
        mapNode.append_attribute("snapId") = entry.snapId;
    }
}

bool ReadVolSnapInfo(const pugi::xml_node& node, SMVolSnapInfo& info, std::string& error) {
    SMVolSnapInfo read;
    unsigned long long flags = 0;
    if (!ReadNumber(node, "jobId", read.jobId, error) || !ReadNumber(node, "arrayNum", read.arrayNum, error) ||
        !ReadNumber(node, "snapActionFlags", flags, error))
        return false;
    read.setSnapActionFlagsEx(flags);
    for (const pugi::xml_node& volumeNode : node.children("volume")) {
        SMVolumeInfo volume;
        unsigned long long volumeFlags = 0;
        if (!ReadFields(volumeNode, VolumeFields(), volume, error) ||
            !ReadNumber(volumeNode, "volumeFlags", volumeFlags, error))
            return false;
        volume.volumeFlags = volumeFlags;
        for (const pugi::xml_node& item : volumeNode.children("transient")) {
            std::uint32_t key = 0;
            if (!ReadNumber(item, "key", key, error)) return false;
            volume.transientMetadata[key] = item.attribute("text").value();
        }
        read.volumes.push_back(volume);
    }
    for (const pugi::xml_node& snapNode : node.children("snap")) {
        SMSnapInfo snap;
        long long createdAt = 0;
        if (!ReadFields(snapNode, SnapFields(), snap, error) || !ReadNumber(snapNode, "createdAt", createdAt, error))
            return false;
        snap.createdAt = createdAt;
        read.snaps.push_back(snap);
    }
    for (const pugi::xml_node& mapNode : node.children("map")) {
        SMVolSnapMapInfo entry;
        if (!ReadNumber(mapNode, "volumeId", entry.volumeId, error) || !ReadNumber(mapNode, "snapId", entry.snapId, error))
            return false;
        read.volSnapMap.push_back(entry);
    }
    info = read;
    return true;
}

}  // namespace snapxml
