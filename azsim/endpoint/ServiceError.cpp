#include "azsim/endpoint/ServiceError.h"

#include <map>

namespace azsim {

namespace {

const std::map<std::string, std::string>& messages() {
    static const std::map<std::string, std::string> table = {
        {"AuthenticationFailed",
         "Server failed to authenticate the request. Make sure the value of Authorization header is formed "
         "correctly including the signature."},
        {"AuthorizationPermissionMismatch",
         "This request is not authorized to perform this operation using this permission."},
        {"BlobNotFound", "The specified blob does not exist."},
        {"CannotVerifyCopySource", "The specified blob does not exist."},
        {"ContainerAlreadyExists", "The specified container already exists."},
        {"ContainerNotFound", "The specified container does not exist."},
        {"InternalError", "Server encountered an internal error. Please try again after some time."},
        {"InvalidAuthenticationInfo",
         "Server failed to authenticate the request. Please refer to the information in the www-authenticate "
         "header."},
        {"InvalidBlobType", "The blob type is invalid for this operation."},
        {"InvalidHeaderValue", "The value for one of the HTTP headers is not in the correct format."},
        {"InvalidPageRange", "The page range specified is invalid."},
        {"InvalidQueryParameterValue",
         "Value for one of the query parameters specified in the request URI is invalid."},
        {"InvalidResourceName", "The specifed resource name contains invalid characters."},
        {"InvalidRange", "The range specified is invalid for the current size of the resource."},
        {"InvalidUri", "The requested URI does not represent any resource on the server."},
        {"LeaseIdMissing",
         "There is currently a lease on the blob and no lease ID was specified in the request."},
        {"MissingRequiredHeader", "An HTTP header that's mandatory for this request is not specified."},
        {"NoAuthenticationInformation",
         "Server failed to authenticate the request. Please refer to the information in the www-authenticate "
         "header."},
        {"OperationTimedOut", "Operation could not be completed within the specified time."},
        {"PreviousSnapshotCannotBeNewer",
         "The prevsnapshot query parameter value cannot be newer than snapshot query parameter value."},
        {"PreviousSnapshotNotFound", "The previous snapshot is not found."},
        {"ResourceNotFound", "The specified resource does not exist."},
        {"RequestBodyTooLarge", "The request body is too large and exceeds the maximum permissible limit."},
        {"ServerBusy", "The server is currently unable to receive requests. Please retry your request."},
        {"SnapshotsPresent", "This operation is not permitted because the blob has snapshots."},
    };
    return table;
}

}  // namespace

std::string escapeXml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                // Request values are echoed back; control bytes have no place in XML text.
                out += static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t' && c != '\r' ? '?' : c;
        }
    }
    return out;
}

ServiceError ServiceError::of(int status, const std::string& code) {
    ServiceError error;
    error.status = status;
    error.code = code;
    auto it = messages().find(code);
    error.message = it != messages().end() ? it->second : "The server could not complete the request.";
    return error;
}

ServiceError& ServiceError::detail(const std::string& element, const std::string& value) {
    details.emplace_back(element, value);
    return *this;
}

ServiceError& ServiceError::header(const std::string& name, const std::string& value) {
    headers.emplace_back(name, value);
    return *this;
}

std::string ServiceError::body(const std::string& requestId, const std::string& time) const {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?><Error><Code>" + escapeXml(code) + "</Code><Message>" +
                      escapeXml(message) + "\nRequestId:" + requestId + "\nTime:" + time + "</Message>";
    for (const auto& [element, value] : details) xml += "<" + element + ">" + escapeXml(value) + "</" + element + ">";
    return xml + "</Error>";
}

}  // namespace azsim
