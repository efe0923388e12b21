// A backed-up disk read at random as of one job: the bytes export writes, and
// never the bytes of a damaged store.
#include <gtest/gtest.h>

#include "agent/files/JobDisk.h"
#include "agent/store/Integrity.h"
#include "tests/agent/store/StoreBuilder.h"

using namespace vsagent;
using namespace vsagent::storetest;

namespace {

class JobDiskTest : public StoreTest {};

TEST_F(JobDiskTest, EveryJobReadsAsExportWritesItAndOnlyWithinTheDisk) {
    for (int format : {Manifest::kFormat, Manifest::kWholeDiskFormat}) {
        builder.format = format;
        for (const Manifest& job : builder.chainOfFour()) {
            const JobDisk disk(store, job, 0);
            std::vector<unsigned char> read(disk.size());
            for (std::uint64_t at = 0; at < read.size(); at += 1234567)  // pieces that cross window edges
                disk.read(at, std::min<std::uint64_t>(1234567, read.size() - at), read.data() + at);
            const std::string out = dir.path() + "/export-" + std::to_string(job.jobId);
            ExportDisk(store, job, 0, out);
            EXPECT_EQ(std::string(read.begin(), read.end()), Slurp(out)) << job.jobId;
            EXPECT_EQ(read, builder.bytesAt(job.jobId)) << job.jobId;
            EXPECT_EQ(ErrorOf([&] { disk.read(disk.size() - 1, 1, read.data()), disk.read(disk.size(), 0, read.data()); }), "");
            for (const auto& [offset, length] : {std::pair{disk.size(), 1ul}, {disk.size() - 1, 2ul}, {~0ull, 2ul}})
                EXPECT_NE(ErrorOf([&] { disk.read(offset, length, read.data()); }), "") << offset;
            EXPECT_NE(ErrorOf([&] { JobDisk(store, job, 1); }), "");
        }
    }
}

TEST_F(JobDiskTest, DamagedImageByteIsReportedNotServed) {
    const std::vector<Manifest> jobs = builder.chainOfFour();
    // Job 3 stored a sector in window 1, which later jobs read from its image.
    FlipByte(store.jobFolder("vm1", jobs[2].jobId) + "/disk0.img", StoreBuilder::kWindow + 8192 + 7);
    const JobDisk damaged(store, jobs[3], 0);
    std::vector<unsigned char> out(4096);
    EXPECT_NO_THROW(damaged.read(2 * StoreBuilder::kWindow, out.size(), out.data()));
    EXPECT_NE(ErrorOf([&] { damaged.read(StoreBuilder::kWindow, 1, out.data()); }).find("do not match their recorded"),
              std::string::npos);
    // Asked again, it is still refused: a failed check is not remembered as passed.
    EXPECT_NE(ErrorOf([&] { damaged.read(StoreBuilder::kWindow + 4096, 1, out.data()); }), "");
    EXPECT_NO_THROW(JobDisk(store, jobs[1], 0).read(StoreBuilder::kWindow, out.size(), out.data()));
}

}  // namespace
