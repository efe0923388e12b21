#include <gtest/gtest.h>

#include "azsim/faults/FaultBook.h"
#include "tests/azsim/model/ChildProcess.h"
#include "tests/azsim/model/TempFolder.h"

namespace {

using namespace azsim;

HttpFault GetRule(const std::string& pattern, int times) {
    return {"GET", pattern, HttpFaultKind::Status, 500, "InternalError", 0, 0, times};
}

TEST(FaultBook, SdkFaultsFireForTheirOperationAndHttpFaultsForMethodAndPathAsOftenAsAsked) {
    azsimtest::TempFolder dir;
    FaultBook book(dir.path());
    EXPECT_FALSE(book.takeSdkFault("CreateDiskSnapshots"));
    book.addSdkFault({"CreateDiskSnapshots", 5, "Key vault access denied", 2});
    book.addSdkFault({"CheckConnection", 1, "Connection reset", -1});

    EXPECT_FALSE(book.takeSdkFault("DeleteDiskSnapshots"));
    EXPECT_FALSE(book.takeSdkFault("createdisksnapshots"));
    for (int i = 0; i < 2; ++i) {
        auto fault = book.takeSdkFault("CreateDiskSnapshots");
        ASSERT_TRUE(fault) << "use " << i;
        EXPECT_EQ(5, fault->code);
        EXPECT_EQ("Key vault access denied", fault->text);
    }
    EXPECT_FALSE(book.takeSdkFault("CreateDiskSnapshots"));

    for (int i = 0; i < 50; ++i) ASSERT_TRUE(book.takeSdkFault("CheckConnection")) << "use " << i;
    ASSERT_EQ(1u, book.sdkFaults().size());
    EXPECT_EQ(-1, book.sdkFaults()[0].times);

    book.clear();
    EXPECT_TRUE(book.sdkFaults().empty());
    EXPECT_FALSE(book.takeSdkFault("CheckConnection"));

    EXPECT_FALSE(book.takeHttpFault("GET", "/acct/vhds/a.vhd"));

    book.addHttpFault({"GET", "/acct/vhds/*.vhd", HttpFaultKind::ShortBody, 500, "InternalError", 0, 1000});
    book.addHttpFault({"", "/acct/c?/x", HttpFaultKind::Delay, 500, "ServerBusy", 250});

    for (const auto& [method, path] : std::initializer_list<std::pair<const char*, const char*>>{
             {"PUT", "/acct/vhds/a.vhd"}, {"GET", "/acct/vhds/a.vhdx"}, {"GET", "/other/vhds/a.vhd"}, {"GET", "/acct/c12/x"}})
        EXPECT_FALSE(book.takeHttpFault(method, path)) << method << " " << path;
    auto taken = book.takeHttpFault("get", "/acct/vhds/dir/a.vhd");
    ASSERT_TRUE(taken);
    EXPECT_EQ(HttpFaultKind::ShortBody, taken->kind);
    EXPECT_EQ(1000u, taken->bodyBytes);
    EXPECT_FALSE(book.takeHttpFault("GET", "/acct/vhds/a.vhd"));

    auto delayed = book.takeHttpFault("HEAD", "/acct/c1/x");
    ASSERT_TRUE(delayed);
    EXPECT_EQ(HttpFaultKind::Delay, delayed->kind);
    EXPECT_EQ(250, delayed->delayMs);
    EXPECT_EQ("ServerBusy", delayed->errorCode);
    EXPECT_TRUE(book.httpFaults().empty());
}

TEST(FaultBook, UsesAreCountedExactlyAcrossProcesses) {
    azsimtest::TempFolder dir;
    FaultBook book(dir.path());
    book.addHttpFault(GetRule("/acct/vhds/*", 60));
    // This process has seen the rule before the others use it up.
    ASSERT_TRUE(book.takeHttpFault("GET", "/acct/vhds/disk.vhd"));

    // Each child takes faults until none is left; its exit code is the count.
    auto takeAll = [&] {
        FaultBook own(dir.path());
        int taken = 0;
        while (own.takeHttpFault("GET", "/acct/vhds/disk.vhd")) ++taken;
        return taken;
    };
    azsimtest::ChildProcess first(takeAll);
    azsimtest::ChildProcess second(takeAll);
    EXPECT_EQ(59, first.wait() + second.wait());
    EXPECT_FALSE(book.takeHttpFault("GET", "/acct/vhds/disk.vhd"));

    // A rule another process adds is seen here at once.
    azsimtest::ChildProcess adder([&] {
        FaultBook(dir.path()).addHttpFault(GetRule("/acct/vhds/*", 1));
        return 0;
    });
    ASSERT_EQ(0, adder.wait());
    EXPECT_TRUE(book.takeHttpFault("GET", "/acct/vhds/disk.vhd"));
    EXPECT_FALSE(book.takeHttpFault("GET", "/acct/vhds/disk.vhd"));
}

}  // namespace
