#include "azsim/endpoint/BlobService.h"

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "azsim/endpoint/BlobMetadata.h"
#include "azsim/endpoint/BlobOperations.h"
#include "azsim/endpoint/HttpForms.h"

namespace azsim {

namespace {

const char* const kBearerChallenge =
    "Bearer authorization_uri=https://login.microsoftonline.com/common/oauth2/authorize "
    "resource_id=https://storage.azure.com";

ServiceError unauthenticated(const std::string& code, const std::string& detail) {
    ServiceError error = ServiceError::of(401, code).header("WWW-Authenticate", kBearerChallenge);
    if (!detail.empty()) error.detail("AuthenticationErrorDetail", detail);
    return error;
}

ServiceError sasRejected(const std::string& detail) {
    return ServiceError::of(403, "AuthenticationFailed").detail("AuthenticationErrorDetail", detail);
}

// Ends the connection at once, without an answer: the TCP stream is shut down under the TLS layer,
// so the client sees the connection close before any response byte.
void dropConnection(const httplib::Request& req) {
    int fd = SSL_get_fd(req.ssl);
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

std::map<std::string, std::string> firstValues(const httplib::Params& params) {
    std::map<std::string, std::string> values;
    for (const auto& [name, value] : params) values.emplace(name, value);
    return values;
}

const char* faultName(HttpFaultKind kind) {
    switch (kind) {
        case HttpFaultKind::Status:
            return "status";
        case HttpFaultKind::Delay:
            return "delay";
        case HttpFaultKind::Drop:
            return "drop";
        case HttpFaultKind::ShortBody:
            return "short";
    }
    return "other";
}

// The kind of credential a request presents, whatever its verdict.
const char* credentialKind(const httplib::Request& req) {
    if (req.has_param("sig")) return "sas";
    const std::string authorization = req.get_header_value("Authorization");
    if (authorization.empty()) return "none";
    if (authorization.compare(0, 7, "Bearer ") == 0) return "bearer";
    if (authorization.compare(0, 10, "SharedKey ") == 0 || authorization.compare(0, 14, "SharedKeyLite ") == 0)
        return "sharedkey";
    return "other";
}

// What the request record keeps of a request and its answer, the blob it names aside.
RequestRecord describe(const httplib::Request& req, const httplib::Response& res) {
    RequestRecord record;
    record.time = serviceTimeNow();
    record.method = req.method;
    record.path = req.path;
    record.comp = req.get_param_value("comp");
    record.snapshot = req.get_param_value("snapshot");
    record.prevSnapshot = req.get_param_value("prevsnapshot");
    record.range = req.get_header_value(req.has_header("x-ms-range") ? "x-ms-range" : "Range");
    record.bodyBytes = req.body.size();
    record.version = req.has_header("x-ms-version") ? req.get_header_value("x-ms-version") : req.get_param_value("sv");
    record.auth = credentialKind(req);
    record.status = res.status;
    record.errorCode = res.get_header_value("x-ms-error-code");
    return record;
}

}  // namespace

BlobService::BlobService(const std::string& stateDir)
    : state_(stateDir), store_(stateDir), authority_(stateDir), faults_(stateDir), log_(stateDir) {}

void BlobService::handle(const httplib::Request& req, httplib::Response& res) {
    ++requests_;
    // Byte ranges are the operations' to interpret. The HTTP library would otherwise cut every answer,
    // errors and page lists included, to the "Range" it parsed; the request object it hands out as
    // const is its own non-const local, so clearing its parsed ranges is well defined.
    const_cast<httplib::Request&>(req).ranges.clear();

    Exchange ex{req, res};
    serve(ex);
    // The answer is complete here but not yet sent: a client holding it finds the request recorded.
    RequestRecord record = describe(req, res);
    record.requestId = ex.requestId;
    if (ex.named || ex.container) {
        record.account = ex.key.account;
        record.container = ex.key.container;
        record.blob = ex.key.name;
    }
    const bool drop = ex.fault && std::strcmp(ex.fault, "drop") == 0;
    if (ex.fault) record.fault = ex.fault;
    if (drop) record.status = 0;
    log_.append(record);
    // Only now, so that a client that sees its connection end finds the request recorded.
    if (drop) dropConnection(req);
}

void BlobService::recordRefused(const httplib::Request& req, const httplib::Response& res) {
    if (res.has_header("x-ms-request-id")) return;
    log_.append(describe(req, res));
}

void BlobService::serve(Exchange& ex) {
    const httplib::Request& req = ex.req;
    httplib::Response& res = ex.res;
    ex.requestId = newRequestId();
    ex.snapshot = req.get_param_value("snapshot");
    res.set_header("x-ms-request-id", ex.requestId);
    res.set_header(
        "Date",
        httpDate(std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                     .count()));
    res.set_header("Server", "Windows-Azure-Blob/1.0 Microsoft-HTTPAPI/2.0");

    const std::string host = req.get_header_value("Host");
    ex.named = blobTarget(host, req.path, ex.key);
    ex.container =
        !ex.named && req.get_param_value("restype") == "container" && containerTarget(host, req.path, ex.key);
    const std::string resourcePath = ex.named ? "/" + ex.key.account + "/" + ex.key.container + "/" + ex.key.name
                                              : "/" + host.substr(0, host.find('.')) + req.path;
    if (!applyFault(ex, resourcePath) || !checkVersion(ex)) return;
    if (!ex.named && !ex.container) return sendError(ex, ServiceError::of(400, "InvalidUri"));
    if (checkSnapshots(ex) && authorize(ex)) dispatch(ex);
}

bool BlobService::applyFault(Exchange& ex, const std::string& resourcePath) {
    std::optional<HttpFault> fault = faults_.takeHttpFault(ex.req.method, resourcePath);
    if (!fault) return true;
    ex.fault = faultName(fault->kind);
    switch (fault->kind) {
        case HttpFaultKind::Status:
            sendError(ex, ServiceError::of(fault->status, fault->errorCode));
            return false;
        case HttpFaultKind::Delay:
            std::this_thread::sleep_for(std::chrono::milliseconds(fault->delayMs));
            return true;
        case HttpFaultKind::Drop:  // the connection is ended once the request is recorded
            ex.res.status = 500;
            return false;
        case HttpFaultKind::ShortBody:
            ex.sendLimit = fault->bodyBytes;
            return true;
    }
    return true;
}

bool BlobService::checkVersion(Exchange& ex) {
    std::string version = ex.header("x-ms-version");
    // A SAS names its version itself; other requests must send one.
    if (version.empty() && ex.req.has_param("sig")) version = ex.param("sv");
    if (version.empty()) {
        sendError(ex, ServiceError::of(400, "MissingRequiredHeader").detail("HeaderName", "x-ms-version"));
        return false;
    }
    if (!isKnownVersion(version)) {
        sendError(ex, ServiceError::of(400, "InvalidHeaderValue")
                          .detail("HeaderName", "x-ms-version")
                          .detail("HeaderValue", version));
        return false;
    }
    ex.res.set_header("x-ms-version", version);
    return true;
}

bool BlobService::checkSnapshots(Exchange& ex) {
    // Every value counts, not just the first one the operations look at.
    for (const auto& [name, value] : ex.req.params) {
        if ((name == "snapshot" || name == "prevsnapshot") && !isSnapshotId(value)) {
            sendError(ex, ServiceError::of(400, "InvalidQueryParameterValue")
                              .detail("QueryParameterName", name)
                              .detail("QueryParameterValue", value));
            return false;
        }
    }
    return true;
}

bool BlobService::authorize(Exchange& ex) {
    const char permission = ex.req.method == "PUT" || ex.req.method == "DELETE" ? 'w' : 'r';
    if (ex.req.has_param("sig")) {
        switch (authority_.verifySas(ex.key, ex.snapshot, firstValues(ex.req.params), permission)) {
            case AccessVerdict::Ok:
                return true;
            case AccessVerdict::Expired:
                sendError(ex, sasRejected("Signature not valid in the specified time frame: Start [" + ex.param("st") +
                                          "] - Expiry [" + ex.param("se") + "] - Current [" +
                                          ex.res.get_header_value("Date") + "]"));
                return false;
            case AccessVerdict::Revoked:
                sendError(ex,
                          sasRejected("Signature did not match. The access this signature granted has been revoked."));
                return false;
            case AccessVerdict::Forbidden:
                sendError(ex, ServiceError::of(403, "AuthorizationPermissionMismatch"));
                return false;
            case AccessVerdict::Missing:
            case AccessVerdict::Invalid:
                sendError(ex, sasRejected("Signature did not match."));
                return false;
        }
    }
    // A managed disk's blob (account "md-...", a name no storage account can take) is written only
    // through the SAS of its upload; a bearer token does not reach it.
    if (permission == 'w' && ex.key.account.compare(0, 3, "md-") == 0) {
        sendError(ex, sasRejected("Writes to a managed disk need the SAS of its upload."));
        return false;
    }
    const std::string authorization = ex.header("Authorization");
    if (authorization.empty()) {
        sendError(ex, unauthenticated("NoAuthenticationInformation", std::string()));
        return false;
    }
    if (authorization.compare(0, 7, "Bearer ") != 0) {
        sendError(ex, ServiceError::of(403, "AuthenticationFailed"));
        return false;
    }
    switch (authority_.verifyToken(authorization.substr(7))) {
        case AccessVerdict::Ok:
            return true;
        case AccessVerdict::Expired:
            sendError(
                ex, unauthenticated("InvalidAuthenticationInfo", "Lifetime validation failed. The token is expired."));
            return false;
        default:
            sendError(
                ex, unauthenticated("InvalidAuthenticationInfo", "Signature validation failed. Signature is invalid."));
            return false;
    }
}

void BlobService::dispatch(Exchange& ex) try {
    const std::string comp = ex.param("comp");
    const std::string& method = ex.req.method;
    const bool write = method == "PUT";
    if (ex.container) {
        if (write && comp.empty()) return createContainer(ex, state_);
        if (method == "DELETE" && comp.empty()) return deleteContainer(ex, state_);
        if (!write && comp.empty()) return getContainer(ex, state_);
        if (method == "GET" && comp == "list") return listBlobs(ex, state_);
    } else {
        if (method == "DELETE" && comp.empty()) return deleteBlob(ex, state_);
        if (!write && comp.empty()) return getBlobWithMetadata(ex, state_, store_);
        if ((method == "GET" || method == "HEAD") && comp == "metadata") return getBlobMetadata(ex, state_);
        if (write && comp == "metadata") return setBlobMetadata(ex, state_);
        if (!write && comp == "pagelist") return getPageRanges(ex, store_);
        if (write && comp == "page") return putPage(ex, store_);
        if (write && comp == "snapshot") return snapshotBlob(ex, state_);
        if (write && comp.empty() && ex.req.has_header("x-ms-copy-source")) return copyBlob(ex, state_);
        if (write && comp.empty()) return putBlob(ex, state_);
    }
    sendError(ex, ServiceError::of(400, "InvalidQueryParameterValue")
                      .detail("QueryParameterName", "comp")
                      .detail("QueryParameterValue", comp));
} catch (const std::exception&) {
    // The subscription's document could not be read or saved.
    sendError(ex, ServiceError::of(500, "InternalError"));
}

}  // namespace azsim
