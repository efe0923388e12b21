// Containers, blob listing, page-blob creation and deletion of the blob endpoint, as one sequence of requests
// over a subscription with one storage account whose VM leases its disk blob.
#include "azsim/model/ResourceIds.h"
#include "azsim/model/SubscriptionState.h"
#include "tests/azsim/endpoint/EndpointFixture.h"

namespace {

class ContainerRoutes : public EndpointFixture {
protected:
    void SetUp() override {
        EndpointFixture::SetUp();
        azsim::StateDocument doc;
        azsim::StorageAccount account;
        account.name = "myacct";
        account.containers = {"vhds"};
        doc.storageAccounts.push_back(account);
        azsim::VirtualMachine vm;
        vm.name = "vm0";
        vm.disks.push_back({azsim::PageBlobUri(disk_), 0});
        doc.vms.push_back(vm);
        doc.snapshotSets.push_back({"memberless", "vm0", "", "", 0, "", "", {}});
        azsim::SubscriptionState(stateDir_).save(doc);
        std::string error;
        ASSERT_TRUE(store_.createPageBlob(snapped_, 512, false, &error)) << error;
        ASSERT_FALSE(store_.createSnapshot(snapped_, &error).empty()) << error;
    }
    const azsim::BlobKey snapped_{"myacct", "vhds", "snapped.vhd"};
};

TEST_F(ContainerRoutes, AnswerWithTheServiceStatusesCodesAndBodies) {
    const std::string pageBlob = "x-ms-blob-type: PageBlob";
    const std::string copyOf = "x-ms-copy-source: https://myacct.blob.core.windows.net/vhds/";
    const struct {
        const char* method;
        const char* target;
        std::vector<std::string> headers;
        long status;
        const char* error;
        const char* bodyHas;
    } rows[] = {
        {"PUT", "/newc?restype=container", {}, 201, "", ""},
        {"PUT", "/newc?restype=container", {}, 409, "ContainerAlreadyExists", ""},
        {"PUT", "/Bad_Name?restype=container", {}, 400, "InvalidResourceName", ""},
        {"PUT", "https://other.blob.core.windows.net/newc?restype=container", {}, 404, "ResourceNotFound", ""},
        {"HEAD", "/newc?restype=container", {}, 200, "", ""},
        {"GET", "/gone?restype=container", {}, 404, "ContainerNotFound", ""},
        {"PUT", "/gone/x.vhd", {pageBlob, "x-ms-blob-content-length: 512"}, 404, "ContainerNotFound", ""},
        {"PUT", "/newc/x.vhd", {pageBlob, "x-ms-blob-content-length: 1000"}, 400, "InvalidHeaderValue", ""},
        {"PUT", "/newc/x.vhd", {pageBlob, "x-ms-blob-content-length: 1024", "x-ms-meta-createdByJob: j1"}, 201, "", ""},
        {"PUT", "/vhds/vm0-osdisk.vhd", {pageBlob, "x-ms-blob-content-length: 512"}, 412, "LeaseIdMissing", ""},
        {"GET", "/newc?restype=container&comp=list&include=metadata", {}, 200, "",
         "<Name>x.vhd</Name><Properties><Last-Modified>"},
        {"GET", "/newc?restype=container&comp=list&include=metadata", {}, 200, "", "<createdByJob>j1</createdByJob>"},
        {"GET", "/vhds?restype=container&comp=list&maxresults=1", {}, 200, "", "<NextMarker>vm0-osdisk.vhd<"},
        {"GET", "/vhds?restype=container&comp=list&marker=vm0-osdisk.vhd", {}, 200, "",
         "<Blobs><Blob><Name>vm0-osdisk.vhd</Name>"},
        {"GET", "/vhds?restype=container&comp=list&prefix=snap&include=snapshots", {}, 200, "", "</Snapshot>"},
        {"GET", "/vhds?restype=container&comp=list", {}, 200, "", "<LeaseStatus>locked</LeaseStatus><LeaseState>leased<"},
        {"PUT", "/vhds/absent.vhd?comp=snapshot", {}, 404, "BlobNotFound", ""},
        {"PUT", "/vhds/vm0-osdisk.vhd?comp=snapshot", {"x-ms-meta-QD_SNAPSHOT_GUID: set1", "x-ms-meta-QD_VM_NAME: vm0"},
         201, "", ""},
        {"GET", "/vhds?restype=container&comp=list&prefix=vm0&include=snapshots,metadata", {}, 200, "",
         "<Metadata><QD_SNAPSHOT_GUID>set1</QD_SNAPSHOT_GUID><QD_VM_NAME>vm0</QD_VM_NAME></Metadata>"},
        {"PUT", "/vhds/copy.vhd", {copyOf + "absent.vhd"}, 404, "CannotVerifyCopySource", ""},
        {"PUT", "/vhds/copy.vhd", {copyOf + "snapped.vhd?snapshot=..%2F..%2Fkeys"}, 400, "InvalidHeaderValue", ""},
        {"PUT", "/vhds/vm0-osdisk.vhd", {copyOf + "snapped.vhd"}, 412, "LeaseIdMissing", ""},
        {"PUT", "/vhds/copy.vhd", {copyOf + "snapped.vhd"}, 202, "", ""},
        {"GET", "/vhds?restype=container&comp=list&prefix=copy", {}, 200, "", "<Content-Length>512<"},
        {"DELETE", "/vhds/snapped.vhd", {}, 409, "SnapshotsPresent", ""},
        {"DELETE", "/vhds/snapped.vhd", {"x-ms-delete-snapshots: only"}, 202, "", ""},
        {"DELETE", "/vhds/snapped.vhd", {}, 202, "", ""},
        {"DELETE", "/vhds/snapped.vhd", {}, 404, "BlobNotFound", ""},
        {"DELETE", "/vhds/vm0-osdisk.vhd", {"x-ms-delete-snapshots: include"}, 412, "LeaseIdMissing", ""},
        {"DELETE", "/newc?restype=container", {}, 202, "", ""},
        {"GET", "/newc?restype=container&comp=list", {}, 404, "ContainerNotFound", ""},
    };
    for (const auto& row : rows) {
        std::vector<std::string> headers = row.headers;
        headers.insert(headers.end(), {"x-ms-version: 2021-08-06", bearer()});
        const std::string empty;
        const std::string target = row.target;
        const std::string url = target[0] == '/' ? "https://myacct.blob.core.windows.net" + target : target;
        const HttpReply reply =
            send({row.method, url, headers, std::string(row.method) == "PUT" ? &empty : nullptr});
        const std::string what = std::string(row.method) + " " + row.target;
        EXPECT_EQ(reply.status, row.status) << what << " " << reply.body;
        EXPECT_EQ(reply.header("x-ms-error-code"), row.error) << what;
        EXPECT_NE(reply.body.find(row.bodyHas), std::string::npos) << what << " " << reply.body;
    }
    // The snapshot joined the set its metadata names, which goes with its last member.
    const azsim::StateDocument snapped = azsim::SubscriptionState(stateDir_).load();
    const azsim::SnapshotSet* set = snapped.findSnapshotSet("set1");
    ASSERT_TRUE(set && set->members.size() == 1 && set->vmName == "vm0");
    const std::string snapshot = set->members[0].substr(set->members[0].find('?'));
    EXPECT_EQ(send({"DELETE", azsim::PageBlobUri(disk_) + snapshot, {"x-ms-version: 2021-08-06", bearer()}}).status, 202);
    // The deleted container took its blob and the blob's record along; the leased blob stayed.
    const azsim::StateDocument doc = azsim::SubscriptionState(stateDir_).load();
    EXPECT_TRUE(!doc.findSnapshotSet("set1") && doc.findSnapshotSet("memberless"));
    EXPECT_EQ(doc.storageAccounts[0].containers, std::vector<std::string>{"vhds"});
    EXPECT_FALSE(store_.exists({"myacct", "newc", "x.vhd"}));
    EXPECT_EQ(doc.findUnmanagedDisk({"myacct", "newc", "x.vhd"}), nullptr);
    EXPECT_TRUE(store_.exists(disk_));
}

}  // namespace
