// serve: one disk of one backup job as a read-only network block device.
#include <iostream>

#include <nlohmann/json.hpp>

#include "agent/cli/Commands.h"
#include "agent/files/JobDisk.h"
#include "agent/files/NbdExport.h"
#include "agent/host/CancelSignal.h"
#include "agent/store/BackupStore.h"

namespace vsagent {

namespace {

const char* const kServeUsage =
    "usage: vsagent serve --store DIR --job ID [--vm NAME] --disk N [--socket PATH | --port PORT]\n"
    "\n"
    "Serves disk N (0 = the first disk of the job) as it was at job ID, read-only,\n"
    "over the network block device protocol, on a new unix socket PATH or on TCP\n"
    "PORT of 127.0.0.1 (10809 when neither is given), until Ctrl-C or a termination\n"
    "request. Any NBD client reads it (nbdinfo, nbdcopy, nbdfuse, qemu-img, nbd-client);\n"
    "writes are refused. Bytes are read from the job's chain of backups as clients ask\n"
    "for them, each 4 MiB window checked against the digest the job recorded: a range\n"
    "that differs is answered with an I/O error. The VM's backups stay locked against\n"
    "prune while the disk is served.\n";

constexpr long long kDefaultPort = 10809;

struct ServeRequest {
    long long jobId = 0;
    long long disk = 0;
    long long port = kDefaultPort;
};

// The job, disk and address of the command line; false with `error` set when they are wrong.
bool ReadRequest(const CommandLine& line, ServeRequest& request, std::string& error) {
    if (!line.has("job") || !line.number("job", 1, Manifest::kMaxJobId, request.jobId, error)) {
        if (error.empty()) error = "--job ID is required";
        return false;
    }
    if (!line.has("disk") || !line.number("disk", 0, 1000, request.disk, error)) {
        if (error.empty()) error = "--disk N is required";
        return false;
    }
    if (line.has("socket") && line.has("port")) {
        error = "--socket and --port exclude each other";
        return false;
    }
    return !line.has("port") || line.number("port", 1, 65535, request.port, error);
}

// The job, held against prune for as long as the lock lives.
Manifest LockedJob(const BackupStore& store, const CommandLine& line, long long jobId, std::optional<FolderLock>& lock) {
    std::optional<Manifest> job = store.job(jobId);
    if (job && !line.value("vm").empty() && job->vmName != line.value("vm"))
        throw StoreError("job " + std::to_string(jobId) + " is a backup of VM [" + job->vmName + "], not of [" +
                         line.value("vm") + "]");
    if (job) {
        lock = store.lockVm(job->vmName, FolderLock::Mode::Shared, true);
        job = store.job(jobId);  // a prune that ran while we waited may have removed or rebuilt it
    }
    if (!job) throw StoreError("the store holds no complete job " + std::to_string(jobId));
    return *job;
}

}  // namespace

int RunServe(int argc, char** argv, const CancelSignal& cancel) {
    CommandLine line;
    int exit = ParseCommand(argc, argv,
                            {{"store", true}, {"job", true}, {"vm", true}, {"disk", true}, {"socket", true}, {"port", true}},
                            0, kServeUsage, line);
    if (exit >= 0 || !NeedStore(line, "serve", exit)) return exit;
    ServeRequest request;
    std::string error;
    if (!ReadRequest(line, request, error)) return Fail("serve", error, kExitUsage);
    try {
        BackupStore store = BackupStore::OpenExisting(line.value("store"));
        std::optional<FolderLock> lock;
        const Manifest job = LockedJob(store, line, request.jobId, lock);
        JobDisk disk(store, job, static_cast<std::size_t>(request.disk));
        NbdExport server(disk);
        std::string address;
        if (line.has("socket")) {
            server.listenUnix(line.value("socket"));
            address = "nbd+unix:///?socket=" + line.value("socket");
        } else {
            server.listenTcp(static_cast<int>(request.port));
            address = "nbd://127.0.0.1:" + std::to_string(request.port);
        }
        if (line.has("json"))
            std::cout << nlohmann::json({{"jobId", job.jobId}, {"disk", request.disk}, {"name", disk.record().name},
                                         {"bytes", disk.size()}, {"uri", address}}).dump() << std::endl;
        else
            std::cout << "serving disk " << request.disk << " [" << disk.record().name << "] of job " << job.jobId
                      << " (" << disk.size() << " bytes) read-only at " << address << "; Ctrl-C stops" << std::endl;
        server.serve([&cancel] { return cancel.cancelled(); });
        if (!line.has("json")) std::cout << "stopped serving" << std::endl;
        return kExitOk;
    } catch (const std::exception& e) {
        return Fail("serve", e.what());
    }
}

}  // namespace vsagent
