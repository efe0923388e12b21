// A backed-up disk read at random as of one job: the bytes export writes, and
// never the bytes of a damaged store.
#include <gtest/gtest.h>

#include "agent/files/JobDisk.h"
#include "agent/store/Integrity.h"
#include "tests/agent/store/StoreBuilder.h"

using namespace vsagent;
using namespace vsagent::storetest;
using Bytes = std::vector<unsigned char>;

namespace {

class JobDiskTest : public StoreTest {};

Bytes ReadAll(const JobDisk& disk) {
    Bytes out(disk.size());
    // Odd pieces, so that reads cross window edges.
    for (std::uint64_t at = 0; at < out.size();) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(1234567, out.size() - at));
        disk.read(at, n, out.data() + at);
        at += n;
    }
    return out;
}

TEST_F(JobDiskTest, EveryJobReadsAsExportWritesItAndOnlyWithinTheDisk) {
    for (int format : {Manifest::kFormat, Manifest::kWholeDiskFormat}) {
        SCOPED_TRACE(format);
        builder.format = format;
        for (const Manifest& job : builder.chainOfFour()) {
            const JobDisk disk(store, job, 0);
            const std::string exported = dir.path() + "/export-" + std::to_string(job.jobId);
            ExportDisk(store, job, 0, exported);
            const std::string file = Slurp(exported);
            const Bytes read = ReadAll(disk);
            EXPECT_EQ(read, Bytes(file.begin(), file.end())) << job.jobId;
            EXPECT_EQ(read, builder.bytesAt(job.jobId)) << job.jobId;
            unsigned char byte = 0;
            EXPECT_NO_THROW(disk.read(disk.size() - 1, 1, &byte));
            EXPECT_NO_THROW(disk.read(disk.size(), 0, &byte));
            EXPECT_NE(ErrorOf([&] { disk.read(disk.size(), 1, &byte); }), "");
            EXPECT_NE(ErrorOf([&] { disk.read(disk.size() - 1, 2, &byte); }), "");
            EXPECT_NE(ErrorOf([&] { disk.read(~0ull, 2, &byte); }), "");
            EXPECT_NE(ErrorOf([&] { JobDisk(store, job, 1); }), "");
        }
    }
}

TEST_F(JobDiskTest, DamagedImageByteIsReportedNotServed) {
    const std::vector<Manifest> jobs = builder.chainOfFour();
    // Job 3 stored a sector in window 1; job 2's window 2 is untouched by the damage.
    FlipByte(store.jobFolder("vm1", jobs[2].jobId) + "/disk0.img", StoreBuilder::kWindow + 8192 + 7);
    const JobDisk damaged(store, jobs[3], 0);
    Bytes out(4096);
    EXPECT_NO_THROW(damaged.read(2 * StoreBuilder::kWindow, out.size(), out.data()));
    const std::string error = ErrorOf([&] { damaged.read(StoreBuilder::kWindow, out.size(), out.data()); });
    EXPECT_NE(error.find("do not match their recorded digest"), std::string::npos) << error;
    // Asked again, it is still refused: a failed check is not remembered as passed.
    EXPECT_NE(ErrorOf([&] { damaged.read(StoreBuilder::kWindow + 4096, 1, out.data()); }), "");
    // The job before the damaged one reads that window from images that are sound.
    EXPECT_NO_THROW(JobDisk(store, jobs[1], 0).read(StoreBuilder::kWindow, out.size(), out.data()));

    builder.format = Manifest::kWholeDiskFormat;
    const Manifest whole = builder.job({{0, 4096}}, 9, nullptr);
    FlipByte(store.jobFolder("vm1", whole.jobId) + "/disk0.img", 100);
    EXPECT_NE(ErrorOf([&] { JobDisk(store, whole, 0); }), "");
}

}  // namespace
