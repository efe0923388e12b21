#include "cloudsdk/ListedPageBlob.h"

#include <boost/algorithm/string/predicate.hpp>
#include <pugixml.hpp>

#include "cloudsdk/SdkErrorCodes.h"

namespace AzureSDKCppBridge {

std::string ListedPageBlob::value(const std::string& name) const {
    for (const auto& [key, text] : metadata)
        if (boost::algorithm::iequals(key, name)) return text;
    return std::string();
}

rest::ArmResult ListPageBlob(rest::BlobClient& blob, const BlobAddress& address, ListedPageBlob& out) {
    rest::ArmResult result;
    const std::string query = "?restype=container&comp=list&include=metadata&prefix=" + rest::Escaped(address.name);
    for (std::string marker;;) {
        const rest::BlobResult page = blob.send(
            NX_HTTP_GET, address.containerUrl + query + (marker.empty() ? "" : "&marker=" + rest::Escaped(marker)));
        if (!page.ok) {
            result.ok = page.code == SDK_ERR_NOT_FOUND;
            result.code = page.code;
            result.text = page.text;
            return result;
        }
        pugi::xml_document doc;
        if (!doc.load_buffer(page.reply.body.data(), page.reply.body.size())) {
            result.code = SDK_ERR_GENERAL;
            result.text = "The blobs of [" + address.containerUrl + "] could not be listed: the answer is not XML.";
            return result;
        }
        const pugi::xml_node results = doc.child("EnumerationResults");
        for (const pugi::xml_node& entry : results.child("Blobs").children("Blob")) {
            if (entry.child_value("Name") != address.name || *entry.child_value("Snapshot")) continue;
            out.found = true;
            out.leased = std::string(entry.child("Properties").child_value("LeaseState")) == "leased";
            for (const pugi::xml_node& item : entry.child("Metadata").children()) out.metadata[item.name()] = item.text().get();
        }
        marker = results.child_value("NextMarker");
        if (marker.empty()) {
            result.ok = true;
            return result;
        }
    }
}

}  // namespace AzureSDKCppBridge
