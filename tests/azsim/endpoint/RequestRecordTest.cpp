// The request record: what the endpoint keeps of every request it answers, and how the record stays bounded.
#include <ctime>
#include <filesystem>

#include "azsim/endpoint/RequestLog.h"
#include "azsim/faults/FaultBook.h"
#include "tests/azsim/endpoint/EndpointFixture.h"

namespace {

using RequestRecords = EndpointFixture;
using azsim::RequestLog;
using azsim::RequestRecord;

// The record of the request answered with `reply`, found by its request id.
RequestRecord recordOf(const std::string& stateDir, const HttpReply& reply) {
    const std::string id = reply.header("x-ms-request-id");
    EXPECT_FALSE(id.empty());
    for (const RequestRecord& record : RequestLog::Read(stateDir))
        if (record.requestId == id) return record;
    ADD_FAILURE() << "no record of request " << id;
    return RequestRecord();
}

// What a record holds but its time and request id, one field after another.
std::string fieldsOf(const RequestRecord& r) {
    return r.method + " " + r.account + "/" + r.container + "/" + r.blob + " " + r.path + " comp=" + r.comp +
           " snapshot=" + r.snapshot + " prev=" + r.prevSnapshot + " range=" + r.range + " body=" +
           std::to_string(r.bodyBytes) + " " + r.auth + " " + std::to_string(r.status) + " " + r.errorCode +
           " fault=" + r.fault;
}

TEST_F(RequestRecords, ReadsWritesAndRefusalsAreRecordedAsSentAndAnswered) {
    HttpReply read = get("", {"Range: bytes=512-1535"});
    const std::string blob = " myacct/vhds/vm0-osdisk.vhd /vhds/vm0-osdisk.vhd";
    EXPECT_EQ(fieldsOf(recordOf(stateDir_, read)),
              "GET" + blob + " comp= snapshot= prev= range=bytes=512-1535 body=0 bearer 206  fault=");
    EXPECT_EQ(recordOf(stateDir_, read).time.size(), 28u);

    HttpReply written =
        put("comp=page", patternBytes(0, 4096, 4), {"x-ms-page-write: Update", "x-ms-range: bytes=8192-12287"});
    EXPECT_EQ(fieldsOf(recordOf(stateDir_, written)),
              "PUT" + blob + " comp=page snapshot= prev= range=bytes=8192-12287 body=4096 bearer 201  fault=");

    HttpReply refused = put("comp=page", std::string(k4MiB + 512, 'x'),
                            {"x-ms-page-write: Update", "Range: bytes=0-" + std::to_string(k4MiB + 511)});
    EXPECT_EQ(fieldsOf(recordOf(stateDir_, refused)), "PUT" + blob +
              " comp=page snapshot= prev= range=bytes=0-4194815 body=4194816 bearer 413 RequestBodyTooLarge fault=");

    std::string error;
    const std::string snapshot = store_.createSnapshot(disk_, &error);
    ASSERT_FALSE(snapshot.empty()) << error;
    HttpReply diff = get("comp=pagelist&snapshot=" + snapshot + "&prevsnapshot=" + snapshot);
    EXPECT_EQ(fieldsOf(recordOf(stateDir_, diff)), "GET" + blob + " comp=pagelist snapshot=" + snapshot +
                                                       " prev=" + snapshot +
                                                       " range= body=0 bearer 400 PreviousSnapshotCannotBeNewer fault=");
}

TEST_F(RequestRecords, CredentialKindsAndAnswersNotServedAreRecorded) {
    const std::string sas = authority_->issueSas(disk_, "", "r", std::time(nullptr) + 3600);
    EXPECT_EQ(recordOf(stateDir_, send({"GET", blobUrl(sas), {kVersion, "Range: bytes=0-511"}, nullptr})).auth, "sas");
    const std::string blob = " myacct/vhds/vm0-osdisk.vhd /vhds/vm0-osdisk.vhd comp= snapshot= prev= range=";
    EXPECT_EQ(fieldsOf(recordOf(stateDir_, send({"GET", blobUrl(), {kVersion}, nullptr}))),
              "GET" + blob + " body=0 none 401 NoAuthenticationInformation fault=");
    EXPECT_EQ(recordOf(stateDir_, send({"GET", blobUrl(), {kVersion, "Authorization: SharedKey myacct:c2ln"}, nullptr}))
                  .auth,
              "sharedkey");

    // A dropped connection was answered nothing.
    azsim::FaultBook(stateDir_).addHttpFault({"", "", azsim::HttpFaultKind::Drop});
    ASSERT_EQ(get("", {"Range: bytes=0-511"}).status, 0);
    EXPECT_EQ(fieldsOf(RequestLog::Read(stateDir_).back()), "GET" + blob + "bytes=0-511 body=0 bearer 0  fault=drop");

    // A method the service does not serve is answered by the HTTP server alone, without request id.
    HttpReply patched = send({"PATCH", blobUrl(), {kVersion, bearer()}, nullptr});
    ASSERT_GE(patched.status, 400);
    const RequestRecord unserved = RequestLog::Read(stateDir_).back();
    EXPECT_EQ(fieldsOf(unserved), "PATCH // /vhds/vm0-osdisk.vhd comp= snapshot= prev= range= body=0 bearer " +
                                      std::to_string(patched.status) + "  fault=");
    EXPECT_EQ(unserved.requestId, "");
    EXPECT_EQ(RequestLog::Read(stateDir_).size(), 5u);

    // Bytes that are not UTF-8 are escaped.
    HttpReply hostile = send({"GET", "https://myacct.blob.core.windows.net/vhds/a%FFb", {kVersion, bearer()}, nullptr});
    ASSERT_EQ(hostile.status, 404);
    EXPECT_EQ(recordOf(stateDir_, hostile).path, "/vhds/a\\xFFb");
    EXPECT_EQ(recordOf(stateDir_, hostile).blob, "a\\xFFb");
}

TEST(RequestLogFile, PassingTheLimitMovesTheFileAsideAndDropsTheOneBefore) {
    azsimtest::TempFolder folder;
    const RequestLog log(folder.path(), 1000);
    RequestRecord record;
    record.method = "GET";
    record.status = 206;
    record.path = "/vhds/disk-100";
    // Lines of one length: a file is moved aside by the line that takes it past 1000 bytes.
    const std::size_t line = record.toJson().dump().size() + 1;
    const std::size_t perFile = 1000 / line + 1;
    std::vector<std::string> paths;
    for (std::size_t n = 0; n < 2 * perFile + 1; ++n) {
        record.path = "/vhds/disk-" + std::to_string(100 + n);
        log.append(record);
        paths.push_back(record.path);
    }
    EXPECT_EQ(perFile * line, std::filesystem::file_size(folder.sub("requests.1.jsonl")));
    std::vector<std::string> kept;
    for (const RequestRecord& r : RequestLog::Read(folder.path())) kept.push_back(r.path);
    EXPECT_EQ(std::vector<std::string>(paths.begin() + perFile, paths.end()), kept);
}

}  // namespace
