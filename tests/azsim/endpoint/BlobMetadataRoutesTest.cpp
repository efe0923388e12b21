// Get and Set Blob Metadata, and the metadata on a blob's properties, as one sequence of requests over a
// subscription with one storage account whose page blob has no record yet.
#include "azsim/model/SubscriptionState.h"
#include "tests/azsim/endpoint/EndpointFixture.h"

namespace {

TEST_F(EndpointFixture, BlobMetadataRoutesAnswerWithTheServiceStatusesAndHeaders) {
    azsim::StateDocument doc;
    doc.storageAccounts.push_back({"myacct", "rg", "westeurope", "Standard_LRS", "StorageV2", {"vhds"}});
    azsim::SubscriptionState(stateDir_).save(doc);
    std::string error;
    const std::string snapshot = store_.createSnapshot(disk_, &error);
    ASSERT_TRUE(store_.putBlockBlob({"myacct", "vhds", "text.json"}, "{}", &error)) << error;
    const struct {
        const char* method;
        std::string query;
        std::vector<std::string> headers;
        long status;
        const char *error, *owner;  // the answer's error code and "x-ms-meta-owner"
    } rows[] = {
        {"PUT", "comp=metadata", {"x-ms-meta-Owner: a", "x-ms-meta-osType: Linux"}, 200, "", ""},
        {"GET", "comp=metadata", {}, 200, "", "a"},
        {"HEAD", "", {}, 200, "", "a"},
        {"GET", "", {"x-ms-range: bytes=0-511"}, 206, "", ""},  // the data path reads no records
        {"GET", "comp=metadata&snapshot=" + snapshot, {}, 200, "", ""},
        {"PUT", "comp=metadata", {"x-ms-meta-owner: b"}, 200, "", ""},  // replaces the whole set
        {"HEAD", "comp=metadata", {}, 200, "", "b"},
        {"PUT", "comp=metadata", {"x-ms-meta-1owner: c"}, 400, "InvalidMetadata", ""},
        {"PUT", "comp=metadata", {"x-ms-meta-owner: c", "x-ms-meta-OWNER: d"}, 400, "InvalidMetadata", ""},
        {"PUT", "comp=metadata&snapshot=" + snapshot, {}, 400, "InvalidQueryParameterValue", ""},
        {"GET", "comp=metadata", {}, 200, "", "b"},  // refused writes changed nothing
    };
    for (const auto& row : rows) {
        std::vector<std::string> headers = row.headers;
        headers.insert(headers.end(), {"x-ms-version: 2021-08-06", bearer()});
        const std::string empty;
        const HttpReply reply = send({row.method, blobUrl(row.query), headers, row.method[0] == 'P' ? &empty : nullptr});
        const std::string what = std::string(row.method) + " ?" + row.query;
        EXPECT_EQ(reply.status, row.status) << what << " " << reply.body;
        EXPECT_EQ(reply.header("x-ms-error-code"), row.error) << what;
        EXPECT_EQ(reply.header("x-ms-meta-owner"), row.owner) << what;
    }
    const azsim::StateDocument saved = azsim::SubscriptionState(stateDir_).load();
    const azsim::UnmanagedDisk* record = saved.findUnmanagedDisk(disk_);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->tags, (azsim::Tags{{"owner", "b"}}));
    // What has no record to hold metadata is refused, not answered as if kept.
    const std::vector<std::string> headers = {"x-ms-version: 2021-08-06", bearer(), "x-ms-meta-owner: e"};
    const std::string empty;
    for (const auto& [blob, status] : {std::make_pair("text.json", 409L), std::make_pair("absent.vhd", 404L)})
        EXPECT_EQ(send({"PUT", "https://myacct.blob.core.windows.net/vhds/" + std::string(blob) + "?comp=metadata",
                        headers, &empty})
                      .status,
                  status)
            << blob;
}

}  // namespace
