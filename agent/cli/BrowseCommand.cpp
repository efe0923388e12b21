// browse: the inventory tree as the plugin returns it.
#include <algorithm>
#include <iostream>

#include <nlohmann/json.hpp>

#include "agent/cli/Commands.h"
#include "agent/host/AgentHost.h"
#include "agent/job/ErrorAdvice.h"

namespace vsagent {

namespace {

const char* const kUsage =
    "usage: vsagent browse [PATH] [--depth N] [--disks]\n"
    "\n"
    "Shows the inventory tree of the subscription as the plugin offers it. Without\n"
    "PATH the top-level views and what they hold; PATH names a node with its view\n"
    "first, separated by '/' or '\\', e.g. 'Resource Groups/rg-prod' or 'VMs'.\n"
    "N (default 2) levels are shown below PATH. --disks lists each VM's disks under\n"
    "it, the OS disk first, then the data disks with their LUNs.\n";

const char* TypeName(EInventoryType type) {
    switch (type) {
        case INVENTORY_TYPE_ROOT: return "root";
        case INVENTORY_TYPE_REGION: return "region";
        case INVENTORY_TYPE_HOST: return "resource group";
        case INVENTORY_TYPE_VM: return "vm";
        case INVENTORY_TYPE_STORAGE_ACCOUNT: return "storage account";
        default: return "view";
    }
}

std::string PluginPath(std::string path) {
    for (char& c : path)
        if (c == '/') c = '\\';
    while (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

// Nodes the browse can open further: the views and the resource groups.
bool Expandable(const SInventoryInfo& node) {
    return node.type == INVENTORY_TYPE_NONE || node.type == INVENTORY_TYPE_HOST;
}

class TreeWalker {
public:
    TreeWalker(IVMInfo& plugin, bool json, bool disks) : plugin_(plugin), json_(json), disks_(disks) {}

    nlohmann::json walk(const std::string& path, const SInventoryInfo& parent, int depth, int indent) {
        std::vector<SInventoryInfo> children;
        nlohmann::json out = nlohmann::json::array();
        if (!plugin_.BrowseInventory(path, parent, children, 0, 0)) return out;
        for (const SInventoryInfo& child : children) {
            std::string childPath = path.empty() ? child.name : path + "\\" + child.name;
            nlohmann::json node = {{"name", child.name}, {"type", TypeName(child.type)}, {"id", child.id}};
            if (child.type == INVENTORY_TYPE_VM) node["running"] = (child.flags & 1) != 0;
            if (!json_) print(child, indent);
            if (depth > 1 && Expandable(child)) node["children"] = walk(childPath, child, depth - 1, indent + 1);
            if (disks_ && child.type == INVENTORY_TYPE_VM) node["disks"] = disks(child, indent + 1);
            out.push_back(node);
        }
        return out;
    }

private:
    // The VM's disks as the plugin describes the VM: the OS disk, then the data disks by LUN.
    nlohmann::json disks(const SInventoryInfo& vmNode, int indent) {
        SVMInfo vm;
        nlohmann::json out = nlohmann::json::array();
        if (!plugin_.GetVMInfoForVM(vmNode.name, vmNode.id, "", 16, 0, vm)) return out;
        std::stable_sort(vm.disks.begin(), vm.disks.end(), [](const SDisk& a, const SDisk& b) {
            return std::make_pair(!a.isOsDisk, a.unitNumber) < std::make_pair(!b.isOsDisk, b.unitNumber);
        });
        for (const SDisk& disk : vm.disks) {
            out.push_back({{"name", disk.name}, {"osDisk", disk.isOsDisk}, {"lun", disk.unitNumber}});
            if (json_) continue;
            std::cout << std::string(static_cast<std::size_t>(indent) * 2, ' ') << disk.name << "  ("
                      << (disk.isOsDisk ? std::string("OS disk") : "disk, LUN " + std::to_string(disk.unitNumber))
                      << ")\n";
        }
        return out;
    }

    static void print(const SInventoryInfo& node, int indent) {
        std::cout << std::string(static_cast<std::size_t>(indent) * 2, ' ') << node.name;
        if (node.type != INVENTORY_TYPE_NONE) std::cout << "  (" << TypeName(node.type);
        if (node.type == INVENTORY_TYPE_VM) std::cout << ((node.flags & 1) ? ", running" : ", stopped");
        if (node.type != INVENTORY_TYPE_NONE) std::cout << ")";
        if (node.type == INVENTORY_TYPE_VM && !node.id.empty()) std::cout << "  " << node.id;
        std::cout << "\n";
    }

    IVMInfo& plugin_;
    bool json_;
    bool disks_;
};

}  // namespace

int RunBrowse(int argc, char** argv) {
    CommandLine line;
    int exit = ParseCommand(argc, argv, {{"depth", true}, {"disks", false}}, 1, kUsage, line);
    if (exit >= 0) return exit;
    long long depth = 2;
    std::string error;
    if (line.has("depth") && !line.number("depth", 1, 10, depth, error)) return Fail("browse", error, kExitUsage);
    std::string path = line.positional().empty() ? std::string() : PluginPath(line.positional()[0]);
    try {
        AgentHost host(ChooseCloud(line));
        ConnectFailure failure;
        std::unique_ptr<IVMInfo> plugin = host.connect(0, failure);
        if (!plugin)
            return Fail("browse", "cannot connect to the subscription: error " + std::to_string(failure.code) + " (" +
                                      failure.details + "). " + AdviceFor(48).action);
        nlohmann::json tree = TreeWalker(*plugin, line.has("json"), line.has("disks")).walk(path, SInventoryInfo(), static_cast<int>(depth), 0);
        if (line.has("json")) std::cout << nlohmann::json({{"path", path}, {"children", tree}}).dump(2) << "\n";
        else if (tree.empty()) std::cout << "(nothing under [" << path << "])\n";
        plugin->Disconnect();
        return kExitOk;
    } catch (const std::exception& e) {
        return Fail("browse", e.what());
    }
}

}  // namespace vsagent
