// files ls, get and find: the files of a backed-up disk, read from the store
// without restoring the VM or exporting the disk.
#include <fnmatch.h>

#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "agent/cli/Commands.h"
#include "agent/files/FileCopy.h"
#include "agent/files/FileSystems.h"
#include "agent/files/JobDisk.h"
#include "agent/files/Partitions.h"
#include "agent/host/CancelSignal.h"
#include "agent/job/Progress.h"

namespace vsagent {

namespace {

using nlohmann::json;

const char* const kFilesUsage =
    "usage: vsagent files --store DIR --job ID [--vm NAME] [--disk N] [--partition P] ls [PATH]\n"
    "       vsagent files --store DIR --job ID [--vm NAME] [--disk N] [--partition P] get PATH... --out DIR\n"
    "       vsagent files --store DIR --job ID [--vm NAME] [--disk N] [--partition P] find PATTERN\n"
    "\n"
    "Reads the files of the disks of job ID as they were at that job, straight from\n"
    "the store: only the blocks a file and its metadata take are read, each checked\n"
    "against the digests the job recorded. The file systems read are ext2, ext3,\n"
    "ext4 and NTFS, on MBR or GPT partitions or written on the whole disk\n"
    "(partition 0). Without --disk every disk of the job is read, without --partition\n"
    "every partition holding a file system the agent reads; the others are named as\n"
    "skipped.\n"
    "\n"
    "  ls [PATH]      the entries of folder PATH (default /), or PATH itself: type,\n"
    "                 mode, owner (numbers of the backed-up system), size, modification time\n"
    "  get PATH...    copies each file or folder (with everything in it; \"/\" copies the\n"
    "                 root's content) into DIR under its own name: content, modes, times,\n"
    "                 symbolic links as links (their targets as they are), extended\n"
    "                 attributes user.*; owners, set-id bits and the other attributes only\n"
    "                 when run as root. Nothing is written outside DIR and nothing there is\n"
    "                 replaced: names a local file cannot have, and existing files, are\n"
    "                 reported and left out. A PATH in several file systems needs --disk\n"
    "                 and --partition.\n"
    "  find PATTERN   the paths of the entries whose name matches the shell pattern\n"
    "\n"
    "--vm NAME checks that the job is one of VM NAME. The VM's backups cannot be\n"
    "pruned while this reads them. Exits 1 when a file system or file could not be read.\n";

std::string TypeChar(FileEntry::Type type) {
    switch (type) {
    case FileEntry::Type::File: return "-";
    case FileEntry::Type::Directory: return "d";
    case FileEntry::Type::Symlink: return "l";
    case FileEntry::Type::Other: break;
    }
    return "?";
}

std::string TypeName(FileEntry::Type type) {
    switch (type) {
    case FileEntry::Type::File: return "file";
    case FileEntry::Type::Directory: return "directory";
    case FileEntry::Type::Symlink: return "symlink";
    case FileEntry::Type::Other: break;
    }
    return "other";
}

std::string ModeText(std::uint32_t mode) {
    std::string text = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        if (!(mode & (0400u >> i))) text[i] = '-';
    if (mode & 04000) text[2] = text[2] == 'x' ? 's' : 'S';
    if (mode & 02000) text[5] = text[5] == 'x' ? 's' : 'S';
    if (mode & 01000) text[8] = text[8] == 'x' ? 't' : 'T';
    return text;
}

std::string TimeText(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    char text[32] = "?";
    if (gmtime_r(&t, &tm)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

json EntryJson(const FileEntry& e) {
    json j = {{"name", e.name}, {"type", TypeName(e.type)}, {"size", e.size}, {"mode", e.mode},
              {"uid", e.uid},   {"gid", e.gid},               {"mtime", e.mtime}};
    if (e.type == FileEntry::Type::Symlink) j["linkTarget"] = e.linkTarget;
    return j;
}

// One file system found on a disk of the job.
struct Volume {
    std::size_t disk = 0;
    int partition = 0;
    std::unique_ptr<SliceSource> slice;
    std::unique_ptr<FileSystem> fs;
    std::string label() const { return "disk " + std::to_string(disk) + " partition " + std::to_string(partition); }
};

// The file systems of the disks and partitions the options select, and what was passed over.
class JobVolumes {
public:
    JobVolumes(const BackupStore& store, const Manifest& job, std::optional<std::size_t> disk,
               std::optional<int> partition) {
        if (disk && *disk >= job.disks.size())
            throw StoreError("job " + std::to_string(job.jobId) + " has no disk " + std::to_string(*disk));
        for (std::size_t d = 0; d < job.disks.size(); ++d)
            if (!disk || *disk == d) openDisk(store, job, d, partition);
        if (partition && volumes.empty() && failures.empty())
            throw StoreError("no file system the agent reads in partition " + std::to_string(*partition) +
                             (skipped.empty() ? "" : ": " + skipped.front()));
    }

    std::vector<Volume> volumes;
    std::vector<std::string> skipped;   // partitions without a file system the agent reads
    std::vector<std::string> failures;  // disks, tables and file systems that could not be read

private:
    void openDisk(const BackupStore& store, const Manifest& job, std::size_t d, std::optional<int> partition) {
        try {
            disks_.push_back(std::make_unique<JobDisk>(store, job, d));
            const JobDisk& whole = *disks_.back();
            // The guest sees the disk's capacity; the image's last sector is the blob's footer.
            guests_.push_back(std::make_unique<SliceSource>(whole, 0, std::min(whole.record().capacity, whole.size())));
            const PartitionTable table = ReadPartitions(*guests_.back());
            for (const std::string& note : table.notes) skipped.push_back("disk " + std::to_string(d) + ": " + note);
            bool found = false;
            for (const Partition& p : table.partitions) {
                if (partition && *partition != p.number) continue;
                found = true;
                openPartition(d, p);
            }
            if (partition && !found) failures.push_back("disk " + std::to_string(d) + " has no partition " +
                                                        std::to_string(*partition));
        } catch (const StoreError& e) {
            failures.push_back("disk " + std::to_string(d) + ": " + e.what());
        }
    }

    void openPartition(std::size_t d, const Partition& p) {
        Volume v;
        v.disk = d;
        v.partition = p.number;
        v.slice = std::make_unique<SliceSource>(*guests_.back(), p.start, p.length);
        try {
            std::string why;
            v.fs = OpenFileSystem(*v.slice, why);
            if (!v.fs) {
                skipped.push_back(v.label() + (p.type.empty() ? "" : " (type " + p.type + ")") + ": " + why);
                return;
            }
            volumes.push_back(std::move(v));
        } catch (const StoreError& e) {
            failures.push_back(v.label() + ": " + e.what());
        }
    }

    std::vector<std::unique_ptr<JobDisk>> disks_;
    std::vector<std::unique_ptr<SliceSource>> guests_;
};

json VolumeJson(const Volume& v) {
    return {{"disk", v.disk}, {"partition", v.partition}, {"fileSystem", v.fs->kind()}};
}

// What went wrong or was passed over, on stderr (failures) and in the output (skipped).
int Finish(const char* sub, const JobVolumes& volumes, std::vector<std::string> failures, json out, bool asJson) {
    failures.insert(failures.begin(), volumes.failures.begin(), volumes.failures.end());
    if (asJson) {
        out["skipped"] = volumes.skipped;
        out["errors"] = failures;
        std::cout << out.dump(2) << "\n";
    } else {
        for (const std::string& s : volumes.skipped) std::cout << "skipped " << s << "\n";
    }
    for (const std::string& f : failures) Fail("files", std::string(sub) + ": " + f);
    return failures.empty() ? kExitOk : kExitFailed;
}

int List(const JobVolumes& volumes, const std::string& path, bool asJson) {
    json out = {{"volumes", json::array()}};
    std::vector<std::string> failures, missing;
    for (const Volume& v : volumes.volumes) {
        std::vector<FileEntry> entries;
        try {
            const FileEntry self = v.fs->stat(path);
            entries = self.type == FileEntry::Type::Directory ? v.fs->list(path) : std::vector<FileEntry>{self};
        } catch (const StoreError& e) {
            missing.push_back(v.label() + ": " + e.what());
            continue;
        }
        std::sort(entries.begin(), entries.end(), [](const FileEntry& a, const FileEntry& b) { return a.name < b.name; });
        json j = VolumeJson(v);
        j["path"] = path;
        j["entries"] = json::array();
        if (!asJson) std::cout << v.label() << " (" << v.fs->kind() << ") " << path << ":\n";
        for (const FileEntry& e : entries) {
            j["entries"].push_back(EntryJson(e));
            if (asJson) continue;
            std::printf("%s%s %5u:%-5u %12llu %s %s%s\n", TypeChar(e.type).c_str(), ModeText(e.mode).c_str(), e.uid,
                        e.gid, static_cast<unsigned long long>(e.size), TimeText(e.mtime).c_str(), e.name.c_str(),
                        e.type == FileEntry::Type::Symlink ? (" -> " + e.linkTarget).c_str() : "");
        }
        out["volumes"].push_back(j);
    }
    // A path some file system lacks is no failure while another one has it.
    if (out["volumes"].empty()) failures = missing.empty() ? std::vector<std::string>{"no file system to list"} : missing;
    return Finish("ls", volumes, failures, out, asJson);
}

void Walk(const FileSystem& fs, const std::string& path, const std::string& pattern, std::vector<std::uint64_t>& ancestors,
          const std::function<void(const std::string&, const FileEntry&)>& found, const StopRequested& stop) {
    for (const FileEntry& e : fs.list(path)) {
        StopPoint(stop);
        const std::string child = (path == "/" ? "" : path) + "/" + e.name;
        if (fnmatch(pattern.c_str(), e.name.c_str(), 0) == 0) found(child, e);
        if (e.type != FileEntry::Type::Directory || !IsSafeName(e.name)) continue;
        if (std::find(ancestors.begin(), ancestors.end(), e.id) != ancestors.end()) continue;
        ancestors.push_back(e.id);
        Walk(fs, child, pattern, ancestors, found, stop);
        ancestors.pop_back();
    }
}

int Find(const JobVolumes& volumes, const std::string& pattern, bool asJson, const StopRequested& stop) {
    json out = {{"matches", json::array()}};
    std::vector<std::string> failures;
    for (const Volume& v : volumes.volumes) {
        try {
            std::vector<std::uint64_t> ancestors = {v.fs->stat("/").id};
            Walk(*v.fs, "/", pattern, ancestors, [&](const std::string& path, const FileEntry& e) {
                json j = VolumeJson(v);
                j["path"] = path;
                j["type"] = TypeName(e.type);
                j["size"] = e.size;
                out["matches"].push_back(j);
                if (!asJson) std::cout << v.label() << ": " << path << "\n";
            }, stop);
        } catch (const StoreError& e) {
            failures.push_back(v.label() + ": " + e.what());
        }
    }
    return Finish("find", volumes, failures, out, asJson);
}

int Get(const JobVolumes& volumes, const std::vector<std::string>& paths, const std::string& outDir, bool asJson,
        const StopRequested& stop) {
    FileCopy copy(outDir, stop);
    std::vector<std::string> failures;
    json out = {{"copied", json::array()}};
    for (const std::string& path : paths) {
        std::vector<const Volume*> holders;
        for (const Volume& v : volumes.volumes) {
            try {
                v.fs->stat(path);
                holders.push_back(&v);
            } catch (const StoreError&) {
            }
        }
        if (holders.size() != 1) {
            std::string where;
            for (const Volume* v : holders) where += (where.empty() ? "" : ", ") + v->label();
            failures.push_back(holders.empty() ? "no [" + path + "] in any file system read"
                                               : "[" + path + "] is in " + where + ": choose with --disk and --partition");
            continue;
        }
        const CopyCounts before = copy.counts();
        copy.copy(*holders.front()->fs, path);
        const CopyCounts& after = copy.counts();
        json j = VolumeJson(*holders.front());
        j.update({{"path", path}, {"files", after.files - before.files}, {"directories", after.directories - before.directories},
                  {"links", after.links - before.links}, {"bytes", after.bytes - before.bytes}});
        out["copied"].push_back(j);
        if (!asJson)
            std::cout << "copied " << path << " from " << holders.front()->label() << ": " << j["files"] << " files, "
                      << j["directories"] << " folders, " << j["links"] << " links, "
                      << FormatBytes(j["bytes"].get<std::uint64_t>()) << "\n";
    }
    failures.insert(failures.end(), copy.problems().begin(), copy.problems().end());
    out["notes"] = copy.notes();
    if (!asJson)
        for (const std::string& note : copy.notes()) std::cout << "note: " << note << "\n";
    return Finish("get", volumes, failures, out, asJson);
}

}  // namespace

int RunFiles(int argc, char** argv, const CancelSignal& cancel) {
    CommandLine line;
    int exit = ParseCommand(argc, argv,
                            {{"store", true}, {"job", true}, {"vm", true}, {"disk", true}, {"partition", true},
                             {"out", true}},
                            1 << 20, kFilesUsage, line);
    if (exit >= 0 || !NeedStore(line, "files", exit)) return exit;
    std::string error;
    long long jobId = 0, disk = 0, partition = 0;
    if (!line.has("job") || !line.number("job", 1, Manifest::kMaxJobId, jobId, error))
        return Fail("files", error.empty() ? "--job ID is required" : error, kExitUsage);
    if (line.has("disk") && !line.number("disk", 0, 1000, disk, error)) return Fail("files", error, kExitUsage);
    if (line.has("partition") && !line.number("partition", 0, 1 << 20, partition, error))
        return Fail("files", error, kExitUsage);
    std::vector<std::string> args = line.positional();
    const std::string sub = args.empty() ? "" : args.front();
    if (!args.empty()) args.erase(args.begin());
    if (sub == "ls" && args.size() > 1) return Fail("files", "ls takes one PATH", kExitUsage);
    if (sub == "find" && args.size() != 1) return Fail("files", "find takes one PATTERN", kExitUsage);
    if (sub == "get" && (args.empty() || line.value("out").empty()))
        return Fail("files", "get takes one PATH or more and --out DIR", kExitUsage);
    if (sub != "ls" && sub != "get" && sub != "find")
        return Fail("files", "name one of ls, get and find (vsagent files --help)", kExitUsage);
    if (line.has("out") && sub != "get") return Fail("files", "--out is for get only", kExitUsage);
    try {
        const BackupStore store = BackupStore::OpenExisting(line.value("store"));
        const std::optional<Manifest> job = store.job(jobId);
        if (!job) return Fail("files", "the store holds no complete job " + std::to_string(jobId));
        if (line.has("vm") && line.value("vm") != job->vmName)
            return Fail("files", "job " + std::to_string(jobId) + " is one of VM " + job->vmName + ", not of " +
                                     line.value("vm"));
        // Shared with backups and other readers; a prune waits until the files are read.
        const std::optional<FolderLock> lock = store.lockVm(job->vmName, FolderLock::Mode::Shared, true);
        const JobVolumes volumes(store, *job,
                                 line.has("disk") ? std::optional<std::size_t>(static_cast<std::size_t>(disk)) : std::nullopt,
                                 line.has("partition") ? std::optional<int>(static_cast<int>(partition)) : std::nullopt);
        const bool asJson = line.has("json");
        if (sub == "ls") return List(volumes, args.empty() ? "/" : args.front(), asJson);
        if (sub == "find") return Find(volumes, args.front(), asJson, StopOn(cancel));
        return Get(volumes, args, line.value("out"), asJson, StopOn(cancel));
    } catch (const StoreCancelled& e) {
        return Fail("files", e.what(), kExitCancelled);
    } catch (const std::exception& e) {
        return Fail("files", e.what());
    }
}

}  // namespace vsagent
