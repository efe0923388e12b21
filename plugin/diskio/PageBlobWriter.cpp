// Page-blob writer: restored disk data goes to a direct-upload managed disk or a
// page blob through the SDK wrapper, or to a page blob through this plugin's own
// HTTP page writes in pieces of at most 4 MiB, with retries and a refreshed
// storage token after an authorization failure.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "host/http/NXLibCurl.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/sys/Time.h"
#include "plugin/diskio/BlobTransfer.h"
#include "plugin/frame/SlotFailure.h"
#include "plugin/frame/AzureInfo.h"

namespace {

constexpr ULONGLONG kPageBytes = 512;
// Page writes always go to the public cloud's blob service; the connected
// environment's storage suffix does not change it.
const char* const kBlobServiceDomain = "blob.core.windows.net";

const char* const kWriteTag = "virtual int CAzureInfo::WriteVmdk(const VmdkHandle&, ULONGLONG, UINT, unsigned char*)";
const char* const kUploadBufferTag =
    "bool CAzureInfo::_UploadBuffer(const string&, const SUploadCtx&, ULONGLONG, UINT, unsigned char*)";

// Writes through the SDK wrapper: to a direct-upload disk through its upload URL, otherwise to the
// page blob by name. The wrapper takes at most one piece per call, as the service takes at most 4 MiB
// per page write, so a longer write goes in pieces in offset order; a failed piece ends the write and
// the pieces before it stay written.
bool UploadThroughWrapper(AzureSDKCppBridge::CAzureSDKCppBridge& sdk, const SAzureDiskInfo& disk,
                          ULONGLONG byteOffset, UINT byteCount, const unsigned char* buffer) {
    for (UINT done = 0; done < byteCount;) {
        const UINT piece = std::min(blobtransfer::kPieceBytes, byteCount - done);
        const bool written =
            disk.directUpload
                ? sdk.UploadBlobPageFromBufferForOffset(disk.uploadAccessUrl, byteOffset + done, piece, buffer + done)
                : sdk.UploadBlobPageFromBufferForOffset(disk.storageAccount, disk.container, disk.blobName,
                                                        byteOffset + done, piece, buffer + done);
        if (!written) return false;
        done += piece;
    }
    return true;
}

}  // namespace

int CAzureInfo::WriteVmdk(const VmdkHandle& handle, ULONGLONG byteOffset, UINT byteCount, unsigned char* buffer) {
    return GuardSlot(*this, kWriteTag, VMINFO_ERR_DISK_INFO, 0,
                     [&] { return _WriteVmdk(handle, byteOffset, byteCount, buffer); });
}

int CAzureInfo::_WriteVmdk(const VmdkHandle& handle, ULONGLONG byteOffset, UINT byteCount, unsigned char* buffer) {
    const char* tag = kWriteTag;
    SAzureDiskInfo* disk = handle.diskInfo;
    const unsigned long long offset = byteOffset;
    // Page blobs take whole 512-byte pages only; anything else would be refused
    // by the service after a round trip, or worse, read past the caller's buffer.
    if (!disk || !buffer || byteCount == 0 || byteOffset % kPageBytes != 0 || byteCount % kPageBytes != 0) {
        EvDebug::Error(tag, "Invalid write request: disk handle [%s], buffer [%s], offset [%llu], size [%u]",
                       disk ? "set" : "null", buffer ? "set" : "null", offset, byteCount);
        SetLastVMError(VMINFO_ERR_DISK_INFO, "Invalid write request at offset [" + std::to_string(offset) +
                                                 "] of [" + std::to_string(byteCount) +
                                                 "] bytes: a write takes whole 512-byte pages of a created disk");
        return 0;
    }
    if (nativeUpload && !disk->directUpload) {
        const std::string url = std::string("https://") + disk->storageAccount + "." + kBlobServiceDomain + "/" +
                                disk->container + "/" + disk->blobName + "?comp=page";
        if (_UploadBlockAtOffset(url, SUploadCtx(), byteOffset, byteCount, buffer)) return 1;
        EvDebug::Error(tag, "Failed to upload buffer at offset [%llu] with bufferSize [%u] for blob [%s]", offset,
                       byteCount, url.c_str());
        // A cause the attempts stored (a refused token, say) stays; otherwise the write names itself.
        const std::string cause = GetLastVMErrorDetails();
        SetLastVMError(VMINFO_ERR_DISK_INFO, !cause.empty() ? cause
                                                            : "Page write of [" + std::to_string(byteCount) +
                                                                  "] bytes at offset [" + std::to_string(offset) +
                                                                  "] to blob [" + disk->blobName +
                                                                  "] failed after every attempt");
        return 0;
    }
    if (UploadThroughWrapper(*sdk, *disk, byteOffset, byteCount, buffer)) return 1;
    const std::string error = sdk->GetLastErrorString();
    SetLastVMError(VMINFO_ERR_DISK_INFO, error);
    EvDebug::Error(tag, "Failed to upload buffer at offset [%llu] for blob[%s], Error [%s]", offset,
                   disk->blobName.c_str(), error.c_str());
    return 0;
}

bool CAzureInfo::_UploadBlockAtOffset(const std::string& url, const SUploadCtx& ctx, ULONGLONG byteOffset, UINT bytes,
                                      unsigned char* buffer) {
    static const char* tag =
        "bool CAzureInfo::_UploadBlockAtOffset(const string&, const SUploadCtx&, ULONGLONG, UINT, unsigned char*)";
    const unsigned long long offset = byteOffset;
    if (bytes <= blobtransfer::kPieceBytes) {
        if (uploadLogging)
            EvDebug::Debug(tag, "Uploading buffer of size [%u] at offset [%llu] for blob [%s]", bytes, offset,
                           url.c_str());
        if (!_UploadBufferWithRetry(url, ctx, byteOffset, bytes, buffer)) {
            EvDebug::Debug(tag, "Failed to upload buffer at offset [%llu] with size [%u] for blob [%s]", offset, bytes,
                           url.c_str());
            return false;
        }
        EvDebug::DebugLvl(tag, 2, "Buffer at offset [%llu] uploaded successfully", offset);
        return true;
    }
    EvDebug::DebugLvl(tag, 2, "Uploading at offset [%llu] with size [%u] for blob [%s]", offset, bytes, url.c_str());
    ULONGLONG relative = 0;
    UINT left = bytes;
    while (left > 0) {
        const UINT piece = std::min(blobtransfer::kPieceBytes, left);
        const ULONGLONG actual = byteOffset + relative;
        if (uploadLogging)
            EvDebug::Debug(tag, "BaseOffset [%llu], relativeOffset [%llu], ActualOffset [%llu], Buffer Size [%u]",
                           offset, static_cast<unsigned long long>(relative), static_cast<unsigned long long>(actual),
                           piece);
        // The piece is sent straight from the caller's buffer; no request copies it.
        if (!_UploadBufferWithRetry(url, ctx, actual, piece, buffer + relative)) {
            EvDebug::Debug(tag, "Failed to upload buffer at offset [%llu] with size [%u] for blob [%s]", offset, piece,
                           url.c_str());
            return false;
        }
        relative += piece;
        left -= piece;
    }
    EvDebug::DebugLvl(tag, 2, "Buffer at offset [%llu] uploaded successfully", offset);
    return true;
}

bool CAzureInfo::_UploadBufferWithRetry(const std::string& url, const SUploadCtx& ctx, ULONGLONG byteOffset,
                                        UINT bytes, unsigned char* buffer) {
    static const char* tag =
        "bool CAzureInfo::_UploadBufferWithRetry(const string&, const SUploadCtx&, ULONGLONG, UINT, unsigned char*)";
    const unsigned long long offset = byteOffset;
    for (unsigned long attempt = 1;; ++attempt) {
        if (_UploadBuffer(url, ctx, byteOffset, bytes, buffer)) {
            EvDebug::DebugLvl(tag, 2, "Page at offset [%llu] uploaded successfully", offset);
            return true;
        }
        EvDebug::Debug(tag, "Failed to upload buffer at offset [%llu] with size [%u] for Blob [%s], Attempt Count [%d]",
                       offset, bytes, url.c_str(), static_cast<int>(attempt));
        if (attempt >= blobtransfer::AttemptLimit("nAzureMaxBlobUploadAttempts")) return false;
        KASLEEP(blobtransfer::kRetryPauseMs);
    }
}

bool CAzureInfo::_UploadBuffer(const std::string& url, const SUploadCtx&, ULONGLONG byteOffset, UINT bytes,
                               unsigned char* buffer) {
    const char* tag = kUploadBufferTag;
    NXLibCurl curl;
    if (!curl.NXLibCurlInit("Content-Type: application/octet-stream", true, true)) {
        EvDebug::Debug(tag, "Failed to Initialize Curl Library");
        return false;
    }
    curl.NXLibCurlFreeHttpHeaderList();
    if (!curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, "User-Agent: curl/7.32.0")) {
        EvDebug::Error(tag, "Failed to set CURL UserAgent header");
        return false;
    }
    std::string token;
    if (!_GetAccessToken(uploadAccessToken, uploadAccessTokenLock, url, false, token, tag)) return false;
    EvDebug::DebugLvl(tag, 2, "Storage Access Token for Upload [%s]", token.c_str());
    if (!curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, "Authorization: Bearer " + token)) {
        EvDebug::Error(tag, "Failed to set authentication header");
        return false;
    }
    if (!curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, "x-ms-version:2018-03-28")) {
        EvDebug::Error(tag, "Failed to set apiVersionHeader header");
        return false;
    }
    if (!curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, "x-ms-page-write: Update")) {
        EvDebug::Error(tag, "Failed to set blob Update header");
        return false;
    }
    char range[80];
    std::snprintf(range, sizeof range, "Range: bytes=%llu-%llu", static_cast<unsigned long long>(byteOffset),
                  static_cast<unsigned long long>(byteOffset + bytes - 1));
    if (!curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, range)) {
        EvDebug::Error(tag, "Failed to set range header");
        return false;
    }
    char length[40];
    std::snprintf(length, sizeof length, "Content-Length: %u", bytes);
    if (!curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, length)) {
        EvDebug::Error(tag, "Failed to set content length header");
        return false;
    }
    if (!curl.NXLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOSIGNAL, 1))
        EvDebug::Debug(tag, "Continuing upload without option CURLOPT_NOSIGNAL");
    if (!curl.NXLibCurlSetAdditionalOptionsIntValue(NX_CURLOPT_PUT, 1))
        EvDebug::Debug(tag, "Continuing upload without option CURLOPT_PUT");
    if (!curl.NXLibCurlSetAdditionalOptions(CURLOPT_UPLOAD))
        EvDebug::Error(tag, "Failed to set CURL option CURLOPT_UPLOAD.");
    if (!curl.NXLibCurlSetAdditionalOptionsIntValue(CURLOPT_INFILESIZE_LARGE, static_cast<int>(bytes)))
        EvDebug::Debug(tag, "Failed to set CURLOPT_INFILESIZE_LARGE");
    // Sent from the caller's buffer, which outlives the request: a copy would double the memory of every write.
    SCURLData data = SCURLData::Borrowed(buffer, bytes);
    if (!curl.NXLibCurlSetReadData(&data)) {
        EvDebug::Debug(tag, "failed to set CURL read userdata");
        return false;
    }
    if (!curl.NXLibCurlSetCallbackReadFunction(&CAzureInfo::curl_read_callback)) {
        EvDebug::Debug(tag, "failed to set CURL read callback function");
        return false;
    }
    if (!curl.NXLibCurlSetCallbackWriteFunction(&NXLibCurl::libcurl_callback)) {
        EvDebug::Debug(tag, "failed to set CURL write callback function");
        return false;
    }
    curl.NXLibCurlSendHttpReqLog(NX_HTTP_PUT, url, std::string(), 0, false, false);
    const unsigned long status = curl.GetHttpErrorCode();
    // 201 is the service's answer to a page written, whatever the transfer reported after it; any
    // other answer, a success code among them, does not say the page was stored.
    if (status == 201) {
        blobtransfer::LogResponse(kUploadBufferTag, url, blobtransfer::ResponseText(curl), 2);
        return true;
    }
    EvDebug::Error(tag, "Error: API failed. operation [%d]. URL[%s]. Request [%s], HTTP Error Code [%lu]", 2,
                   url.c_str(), "", status);
    // An authorization failure means the token is no longer accepted; server
    // and transport errors are retried with the token as it is.
    if (status >= 400 && status <= 499 &&
        !_GetAccessToken(uploadAccessToken, uploadAccessTokenLock, url, true, token, tag))
        return false;
    blobtransfer::LogResponse(kUploadBufferTag, url, blobtransfer::ResponseText(curl), 0);
    return false;
}

size_t CAzureInfo::curl_read_callback(char* ptr, size_t size, size_t nmemb, void* userdata) {
    SCURLData* data = static_cast<SCURLData*>(userdata);
    // Nothing to feed the body from: end the transfer rather than pause it forever.
    if (!data || !ptr) return CURL_READFUNC_ABORT;
    if (data->remaining == 0) return 0;
    const size_t n = static_cast<size_t>(std::min<unsigned long long>(size * nmemb, data->remaining));
    std::memcpy(ptr, data->source() + data->offset, n);
    data->offset += n;
    data->remaining -= n;
    return n;
}
