// The identity and Resource Manager routes of the endpoint, as a client sees them: status codes, error
// codes and body shapes, and the changes and records a request leaves.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "azsim/endpoint/RequestLog.h"
#include "azsim/endpoint/TlsMaterial.h"
#include "tests/azsim/arm/ServedArm.h"

namespace {

const std::string kTenant = "72f988bf-86f1-41af-91ab-2d7cd011db47";
const std::string kApp = "0c9d8e7f-6a5b-4c3d-9e2f-1a0b9c8d7e6f";
const std::string kSecret = "s3cr3t~value.of_the-app";
const std::string kRm = "https://management.azure.com";
const char* const kVm = "/resourceGroups/rg-prod/providers/Microsoft.Compute/virtualMachines/web-linux01";

class ManagementRoutesTest : public azsimtest::ServedArm {
protected:
    void SetUp() override {
        serve();
        subscription_ = subscriptionUrl_.substr(kRm.size());
    }
    HttpReply post(const std::string& url, const std::string& body, std::vector<std::string> headers = {}) {
        headers.push_back("Content-Type: application/x-www-form-urlencoded");
        return client_->send({"POST", url, headers, &body});
    }
    // The identity service's error is a string, Resource Manager's an object with a code.
    static std::string armCode(const HttpReply& reply) {
        const nlohmann::json body = nlohmann::json::parse(reply.body, nullptr, false);
        const bool text = body.is_object() && body.contains("error") && body["error"].is_string();
        return text ? body["error"].get<std::string>() : Code(reply);
    }

    std::string subscription_;
};

TEST_F(ManagementRoutesTest, TokenEndpointGrantsOnlyTheSubscriptionsApplication) {
    const std::string login = "https://login.microsoftonline.com/";
    const std::string good = "grant_type=client_credentials&client_id=" + kApp + "&client_secret=" + kSecret;
    const std::string scope = "&scope=https%3A%2F%2Fmanagement.azure.com%2F.default";
    const std::string resource = "&resource=https%3A%2F%2Fmanagement.azure.com%2F";
    // `error`: "" for a granted token
    struct Row { std::string url; std::string body; long status; std::string error; };
    const Row rows[] = {
        {login + kTenant + "/oauth2/v2.0/token", good + scope, 200, ""},
        {login + kTenant + "/oauth2/token", good + resource, 200, ""},
        {"https://adfs.local.azurestack.external/adfs/oauth2/token", good + resource, 200, ""},
        {"https://adfs.localhost/adfs/oauth2/token", good + scope, 200, ""},  // the federation service takes both
        {login + kTenant + "/oauth2/v2.0/token", good + resource, 400, "invalid_request"},  // v2 needs a scope
        {login + "00000000-0000-0000-0000-000000000000/oauth2/v2.0/token", good + scope, 400, "invalid_request"},
        {login + kTenant + "/oauth2/v2.0/token", "client_id=" + kApp + "&client_secret=" + kSecret + scope, 400,
         "invalid_request"},
        {login + kTenant + "/oauth2/v2.0/token", "grant_type=password&client_id=" + kApp + scope, 400,
         "unsupported_grant_type"},
        {login + kTenant + "/oauth2/v2.0/token",
         "grant_type=client_credentials&client_id=someone-else&client_secret=" + kSecret + scope, 400,
         "unauthorized_client"},
        {login + kTenant + "/oauth2/v2.0/token",
         "grant_type=client_credentials&client_id=" + kApp + "&client_secret=wrong" + scope, 401, "invalid_client"},
        {login + kTenant + "/oauth2/v2.0/token", "grant_type=client_credentials&client_id=" + kApp + scope, 401,
         "invalid_client"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.url + " " + row.body);
        const HttpReply reply = post(row.url, row.body);
        EXPECT_EQ(row.status, reply.status);
        const nlohmann::json body = nlohmann::json::parse(reply.body, nullptr, false);
        ASSERT_TRUE(body.is_object());
        if (row.error.empty()) {
            EXPECT_EQ("Bearer", body.value("token_type", ""));
            EXPECT_FALSE(body.value("access_token", "").empty());
            // Answers to a scope give the lifetime as a number, answers to a resource as a string.
            EXPECT_EQ(row.body.find("&scope=") != std::string::npos, body["expires_in"].is_number());
        } else {
            EXPECT_EQ(row.error, body.value("error", ""));
            EXPECT_EQ(0u, body.value("error_description", "").find("AADSTS"));
            EXPECT_FALSE(body.contains("access_token"));
        }
    }
    // Every answer is recorded, with the credential kind and the identity service's error code.
    const std::vector<azsim::RequestRecord> log = azsim::RequestLog::Read(folder_.path());
    ASSERT_EQ(std::size(rows) + 1, log.size());  // after the fixture's own sign-in
    EXPECT_EQ("secret", log.back().auth);
    EXPECT_EQ("invalid_client", log.back().errorCode);
    EXPECT_EQ(200, log[1].status);
}

// What a client reads before and right after it signs in: the cloud's endpoints, the identity service's
// discovery document, the subscriptions and tenants its token reaches, their regions and the providers
// registered there.
TEST_F(ManagementRoutesTest, DiscoveryRoutesNameTheCloudsEndpoints) {
    const std::string rm = "https://management.localhost";
    const std::string login = "https://login.microsoftonline.com/";
    // `code`: the error code, or the JSON pointer of the value checked
    struct Row { std::string url; std::vector<std::string> headers; long status; std::string code; std::string value; };
    const Row rows[] = {
        {rm + "/metadata/endpoints?api-version=2015-01-01", {}, 200, "/authentication/loginEndpoint",
         "https://adfs.localhost/adfs"},
        {kRm + "/metadata/endpoints?api-version=2015-01-01", {}, 200, "/authentication/loginEndpoint", login},
        {rm + "/metadata/endpoints", {}, 400, "MissingApiVersionParameter", ""},
        {"https://adfs.localhost/adfs/.well-known/openid-configuration", {}, 200, "/token_endpoint",
         "https://adfs.localhost/adfs/oauth2/token"},
        {login + kTenant + "/v2.0/.well-known/openid-configuration", {}, 200, "/token_endpoint",
         login + kTenant + "/oauth2/v2.0/token"},
        {login + "00000000-0000-0000-0000-000000000000/v2.0/.well-known/openid-configuration", {}, 400,
         "invalid_tenant", ""},
        {"https://adfs.localhost/adfs/v2.0/.well-known/openid-configuration", {}, 400, "invalid_tenant", ""},
        {rm + "/subscriptions?api-version=2016-06-01", {bearer_}, 200, "/value/0/id", subscription_},
        {rm + "/tenants?api-version=2016-06-01", {bearer_}, 200, "/value/0/tenantId", kTenant},
        {rm + "/subscriptions?api-version=2016-06-01", {}, 401, "AuthenticationFailed", ""},
        {rm + "/tenants?api-version=1999-01-01", {bearer_}, 400, "InvalidApiVersionParameter", ""},
        {kRm + subscription_ + "/locations?api-version=2016-06-01", {bearer_}, 200, "/value/0/displayName",
         "West Europe"},
        {kRm + subscription_ + "/providers/microsoft.compute?api-version=2019-10-01", {bearer_}, 200, "/namespace",
         "Microsoft.Compute"},
        {kRm + subscription_ + "/providers?api-version=2019-10-01", {bearer_}, 200,
         "/value/0/resourceTypes/0/locations/0", "West Europe"},
        {kRm + subscription_ + "/providers/Microsoft.Nope?api-version=2019-10-01", {bearer_}, 404,
         "InvalidResourceNamespace", ""},
        // A provider's registration is read with the versions of the resources API, not the provider's own.
        {kRm + subscription_ + "/providers/Microsoft.Compute?api-version=2024-03-02", {bearer_}, 400,
         "InvalidApiVersionParameter", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.url);
        const HttpReply reply = client_->send({"GET", row.url, row.headers});
        EXPECT_EQ(row.status, reply.status);
        if (row.value.empty()) {
            EXPECT_EQ(row.code, armCode(reply));
            continue;
        }
        const nlohmann::json body = nlohmann::json::parse(reply.body, nullptr, false);
        const nlohmann::json::json_pointer pointer(row.code);
        ASSERT_TRUE(body.is_object() && body.contains(pointer)) << reply.body;
        EXPECT_EQ(row.value, body[pointer]);
    }
    // A version the client's network commands pin is answered, whatever the routes then say.
    EXPECT_NE("NoRegisteredProviderFound",
              armCode(client_->send({"GET", kRm + subscription_ + "/providers/Microsoft.Network/virtualNetworks"
                                     "?api-version=2022-01-01", {bearer_}})));
}

TEST_F(ManagementRoutesTest, VirtualMachineRoutesAnswerAzuresStatusesAndBodies) {
    const std::string vm = kRm + subscription_ + kVm;
    struct Row { std::string url; std::vector<std::string> headers; long status; std::string code; };
    const Row rows[] = {
        {vm + "?api-version=2023-09-01&$expand=instanceView", {bearer_}, 200, ""},
        {kRm + subscription_ + "/resourcegroups?api-version=2021-04-01", {bearer_}, 200, ""},
        {kRm + subscription_ + "/resourcegroups/rg-none?api-version=2021-04-01", {bearer_}, 404, "ResourceGroupNotFound"},
        {kRm + subscription_ + "/resourceGroups/rg-prod/providers/Microsoft.Compute/virtualMachines/none"
                               "?api-version=2023-09-01",
         {bearer_}, 404, "ResourceNotFound"},
        {vm + "?api-version=2023-09-01", {}, 401, "AuthenticationFailed"},
        {vm + "?api-version=2023-09-01", {"Authorization: Bearer forged.token.value"}, 401,
         "InvalidAuthenticationToken"},
        {vm, {bearer_}, 400, "MissingApiVersionParameter"},
        {vm + "?api-version=1999-01-01", {bearer_}, 400, "NoRegisteredProviderFound"},
        {kRm + "/subscriptions/00000000-0000-0000-0000-000000000000/resourcegroups?api-version=2021-04-01",
         {bearer_}, 404, "SubscriptionNotFound"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.url);
        const HttpReply reply = client_->send({"GET", row.url, row.headers});
        EXPECT_EQ(row.status, reply.status);
        EXPECT_EQ(row.code, armCode(reply));
        EXPECT_FALSE(reply.header("x-ms-request-id").empty());
    }
    const nlohmann::json view = nlohmann::json::parse(client_->send({"GET", rows[0].url, {bearer_}}).body);
    EXPECT_EQ("web-linux01", view["name"]);
    EXPECT_EQ("PowerState/running", view["properties"]["instanceView"]["statuses"][1]["code"]);
    // An anonymous request is challenged with the authority of the subscription's tenant.
    EXPECT_NE(std::string::npos, client_->send({"GET", rows[4].url, {}}).header("www-authenticate").find(kTenant));
}

TEST_F(ManagementRoutesTest, PowerActionIsAcceptedAndItsOperationEnds) {
    const HttpReply accepted = post(kRm + subscription_ + kVm + "/powerOff?api-version=2023-09-01", "", {bearer_});
    ASSERT_EQ(202, accepted.status);
    EXPECT_EQ(azsim::PowerState::Stopped,
              state_.load().findVm("web-linux01")->powerState);
    const std::string operation = accepted.header("azure-asyncoperation");
    ASSERT_EQ(0u, operation.find(kRm + subscription_ + "/providers/Microsoft.Compute/locations/"));
    EXPECT_EQ(operation + "&monitor=true", accepted.header("location"));
    const HttpReply status = client_->send({"GET", operation, {bearer_}});
    EXPECT_EQ(200, status.status);
    EXPECT_EQ("Succeeded", nlohmann::json::parse(status.body).value("status", ""));
    EXPECT_EQ(200, client_->send({"GET", accepted.header("location"), {bearer_}}).status);
    // Neither an unknown operation nor an unknown action is taken for a real one.
    EXPECT_EQ(404, client_->send({"GET", operation.substr(0, operation.find("/operations/") + 12) + "x?api-version="
                                  "2023-09-01", {bearer_}}).status);
    EXPECT_EQ(404, post(kRm + subscription_ + kVm + "/explode?api-version=2023-09-01", "", {bearer_}).status);
}

// Writes over `path` a self-signed certificate naming `host` alone, as material of an earlier endpoint.
void WriteCertificateFor(const std::string& path, const char* host) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    ASSERT_TRUE(key && cert);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    X509_EXTENSION* names =
        X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, ("DNS:" + std::string(host)).c_str());
    ASSERT_NE(nullptr, names);
    X509_add_ext(cert.get(), names, -1);
    X509_EXTENSION_free(names);
    ASSERT_GT(X509_sign(cert.get(), key.get(), EVP_sha256()), 0);
    std::unique_ptr<FILE, decltype(&fclose)> file(fopen(path.c_str(), "w"), fclose);
    ASSERT_TRUE(file && PEM_write_X509(file.get(), cert.get()) == 1);
}

// A state folder whose certificate was made for fewer hosts (the blob hosts alone, or without the
// loopback cloud's) gets material that covers every host served; material that covers them is kept.
TEST(TlsMaterialTest, MaterialWithoutEveryServedHostIsMadeAnew) {
    for (const char* earlier : {"*.blob.core.windows.net", "management.azure.com"}) {
        SCOPED_TRACE(earlier);
        azsimtest::TempFolder folder;
        azsim::TlsMaterial tls;
        std::string error;
        ASSERT_TRUE(azsim::TlsMaterial::ensure(folder.path(), tls, &error)) << error;
        auto read = [](const std::string& path) {
            std::ostringstream text;
            text << std::ifstream(path).rdbuf();
            return text.str();
        };
        const std::string ca = read(tls.caCertPath);
        ASSERT_TRUE(azsim::TlsMaterial::ensure(folder.path(), tls, &error)) << error;
        EXPECT_EQ(ca, read(tls.caCertPath));
        WriteCertificateFor(tls.serverCertPath, earlier);
        ASSERT_TRUE(azsim::TlsMaterial::ensure(folder.path(), tls, &error)) << error;
        EXPECT_NE(ca, read(tls.caCertPath));
        EXPECT_NE(read(tls.caCertPath), read(tls.serverCertPath));
        EXPECT_TRUE(std::filesystem::exists(folder.sub("tls.retired/server.pem")));
    }
}

}  // namespace
