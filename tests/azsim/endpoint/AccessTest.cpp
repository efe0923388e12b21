// Versions, bearer tokens and SAS signatures: the authority's verdicts and the endpoint's answers to them.
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "azsim/model/ResourceIds.h"
#include "tests/azsim/endpoint/EndpointFixture.h"

namespace {

using Access = EndpointFixture;

// The decoded parameters of a query string.
std::map<std::string, std::string> queryOf(const std::string& query) {
    return azsim::ParseBlobUri("https://myacct.blob.core.windows.net/vhds/x?" + query).value().query;
}

TEST_F(Access, VersionHeaderMustBeAKnownServiceVersion) {
    HttpReply missing = send({"GET", blobUrl(), {bearer()}, nullptr});
    EXPECT_EQ(missing.status, 400);
    EXPECT_EQ(missing.header("x-ms-error-code"), "MissingRequiredHeader");
    for (const char* bad : {"2014-02-14", "2099-01-01", "2018-02-30", "latest"}) {
        HttpReply reply = send({"GET", blobUrl(), {bearer(), std::string("x-ms-version: ") + bad}, nullptr});
        EXPECT_EQ(reply.status, 400) << bad;
        EXPECT_EQ(reply.errorCode(), "InvalidHeaderValue") << bad;
        EXPECT_NE(reply.body.find("<HeaderValue>" + std::string(bad) + "</HeaderValue>"), std::string::npos);
        EXPECT_NE(reply.body.find("\nRequestId:" + reply.header("x-ms-request-id") + "\nTime:"), std::string::npos);
    }
}

TEST_F(Access, BearerTokensAreCheckedForPresenceSignatureAndLifetime) {
    HttpReply none = send({"GET", blobUrl(), {kVersion}, nullptr});
    EXPECT_EQ(none.status, 401);
    EXPECT_EQ(none.errorCode(), "NoAuthenticationInformation");
    EXPECT_NE(none.header("www-authenticate").find("Bearer"), std::string::npos);

    // A token from another subscription's key is unknown here.
    const std::string otherDir = stateDir_ + "/other";
    const std::string foreign = azsim::AccessAuthority(otherDir).issueToken("test-application");
    EXPECT_EQ(authority_->verifyToken(foreign), azsim::AccessVerdict::Invalid);
    HttpReply unknown = send({"GET", blobUrl(), {kVersion, "Authorization: Bearer " + foreign}, nullptr});
    EXPECT_EQ(unknown.status, 401);
    EXPECT_EQ(unknown.errorCode(), "InvalidAuthenticationInfo");
    std::string tampered = token_;
    tampered[tampered.find('.') + 3] ^= 1;
    EXPECT_EQ(authority_->verifyToken(tampered), azsim::AccessVerdict::Invalid);

    authority_->setTokenLifetime(1);
    const std::string shortLived = azsim::AccessAuthority(stateDir_).issueToken("test-application");
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    HttpReply expired = send({"GET", blobUrl(), {kVersion, "Authorization: Bearer " + shortLived}, nullptr});
    EXPECT_EQ(expired.status, 401);
    EXPECT_EQ(expired.errorCode(), "InvalidAuthenticationInfo");
    EXPECT_NE(expired.body.find("expired"), std::string::npos);

    // The signing key is private.
    struct stat st;
    ASSERT_EQ(stat((stateDir_ + "/keys.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(authority_->verifyToken(""), azsim::AccessVerdict::Missing);
    EXPECT_EQ(authority_->verifyToken("not.a-token"), azsim::AccessVerdict::Invalid);
}

TEST_F(Access, SasGrantsItsPermissionsOnItsBlobOrSnapshotUntilExpiryOrRevocation) {
    const std::int64_t inAnHour = std::time(nullptr) + 3600;
    std::string error;
    const std::string snapshot = store_.createSnapshot(disk_, &error);
    const std::string later = store_.createSnapshot(disk_, &error);
    ASSERT_FALSE(snapshot.empty() || later.empty()) << error;
    const std::string page(512, 'p');
    auto sasGet = [&](const std::string& query, std::vector<std::string> headers = {kVersion}) {
        headers.push_back("Range: bytes=0-1023");
        return send({"GET", blobUrl(query), headers, nullptr});
    };
    auto sasPut = [&](const std::string& sas) {
        const std::vector<std::string> headers = {kVersion, "x-ms-page-write: Update", "Range: bytes=0-511"};
        return send({"PUT", blobUrl("comp=page&" + sas), headers, &page});
    };
    const std::string readOnly = authority_->issueSas(disk_, "", "r", inAnHour);
    HttpReply read = sasGet(readOnly);
    EXPECT_EQ(read.status, 206);
    HttpReply write = sasPut(readOnly);
    EXPECT_EQ(write.status, 403);
    EXPECT_EQ(write.errorCode(), "AuthorizationPermissionMismatch");
    EXPECT_EQ(sasPut(authority_->issueSas(disk_, "", "rw", inAnHour)).status, 201);

    azsim::BlobKey other = disk_;
    other.name = "vm0-datadisk.vhd";
    EXPECT_EQ(sasGet(authority_->issueSas(other, "", "r", inAnHour)).errorCode(), "AuthenticationFailed");

    const std::string lapsed = authority_->issueSas(disk_, "", "r", std::time(nullptr) - 10);
    HttpReply expired = sasGet(lapsed);
    EXPECT_EQ(expired.status, 403);
    EXPECT_EQ(expired.errorCode(), "AuthenticationFailed");
    EXPECT_EQ(authority_->verifySas(disk_, "", queryOf(lapsed), 'r'), azsim::AccessVerdict::Expired);

    // A snapshot's SAS opens that snapshot only; without x-ms-version it runs at its signed version.
    const std::string sas = authority_->issueSas(disk_, snapshot, "r", inAnHour);
    const std::string laterSas = authority_->issueSas(disk_, later, "r", inAnHour);
    EXPECT_EQ(sasGet("snapshot=" + snapshot + "&" + sas).status, 206);
    EXPECT_EQ(sasGet(sas).status, 403);
    EXPECT_EQ(sasGet("snapshot=" + later + "&" + sas).status, 403);
    EXPECT_EQ(sasGet("snapshot=" + snapshot + "&" + sas, {}).status, 206);

    // Revoking one snapshot's grants leaves the others; revoking the blob's revokes them all.
    authority_->revokeSas(disk_, snapshot);
    EXPECT_EQ(sasGet("snapshot=" + snapshot + "&" + sas).status, 403);
    EXPECT_EQ(authority_->verifySas(disk_, snapshot, queryOf(sas), 'r'), azsim::AccessVerdict::Revoked);
    EXPECT_EQ(sasGet("snapshot=" + later + "&" + laterSas).status, 206);
    EXPECT_EQ(sasGet(readOnly).status, 206);
    authority_->revokeSas(disk_);
    HttpReply revoked = sasGet(readOnly);
    EXPECT_EQ(revoked.status, 403);
    EXPECT_EQ(revoked.errorCode(), "AuthenticationFailed");
    EXPECT_EQ(authority_->verifySas(disk_, "", queryOf(readOnly), 'r'), azsim::AccessVerdict::Revoked);
    EXPECT_EQ(authority_->verifySas(disk_, later, queryOf(laterSas), 'r'), azsim::AccessVerdict::Revoked);
    EXPECT_EQ(sasGet(authority_->issueSas(disk_, "", "r", inAnHour)).status, 206);
}

}  // namespace
