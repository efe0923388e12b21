// Page-blob reader: disk data read with HTTP range requests in pieces of at
// most 4 MiB, with retries, storage-token refresh and one recreation of a
// vanished staging blob.
#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <vector>

#include "host/http/NXLibCurl.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/sys/Time.h"
#include "plugin/diskio/BlobTransfer.h"
#include "plugin/frame/Existence.h"
#include "plugin/frame/SlotFailure.h"
#include "plugin/frame/AzureInfo.h"

namespace {

constexpr ULONGLONG kSectorBytes = 512;
constexpr size_t kCurlPause = 0x10000001;

const char* const kReadTag = "virtual int CAzureInfo::ReadVmdk(const VmdkHandle&, ULONGLONG, UINT, unsigned char*)";
const char* const kReadBufferTag =
    "bool CAzureInfo::_DownloadBuffer(const string&, const SDownloadCtx&, ULONGLONG, UINT, unsigned char*)";


}  // namespace

int CAzureInfo::ReadVmdk(const VmdkHandle& handle, ULONGLONG blockIndex, UINT sectorCount,
                         unsigned char* buffer) try {
    const char* tag = kReadTag;
    const SAzureDiskInfo* disk = handle.diskInfo;
    const ULONGLONG requested = static_cast<ULONGLONG>(sectorCount) * kSectorBytes;
    if (!disk || !buffer || requested > UINT_MAX) {
        EvDebug::Error(tag, "Invalid read request: disk handle [%s], buffer [%s], sectors [%u]",
                       disk ? "set" : "null", buffer ? "set" : "null", sectorCount);
        return 0;
    }
    SDownloadCtx ctx;
    ctx.isSasUrl = disk->isManaged;
    ctx.blobSize = disk->blobSize;
    const UINT bytes = static_cast<UINT>(requested);
    if (_DownloadBlock(disk->dataUrl, ctx, blockIndex, bytes, buffer)) return 1;
    if (disk->readsStagingBlob && _RetryReadFromStagingBlob(*disk, ctx, blockIndex, bytes, buffer)) return 1;
    EvDebug::Error(tag, "Failed to download page for blob[%s], Error [%s]", disk->dataUrl.c_str(),
                   sdk->GetLastErrorString().c_str());
    return 0;
} catch (...) {
    FailSlotOnException(*this, kReadTag, VMINFO_ERR_DISK_INFO);
    return 0;
}

bool CAzureInfo::_RetryReadFromStagingBlob(const SAzureDiskInfo& disk, const SDownloadCtx& ctx, ULONGLONG blockIndex,
                                           UINT bytes, unsigned char* buffer) {
    const char* tag = kReadTag;
    std::string account, container, blob, snapshot;
    if (!ParseMediaLinkURI(disk.dataUrl, account, container, blob, snapshot)) return false;
    switch (BlobPresence(*sdk, "", account, container, blob)) {
        case Presence::Present:
            return false;
        case Presence::Unknown:
            // Only a blob known to be gone is recreated; one that may still be there is left as it is.
            FailSlot(*this, tag, VMINFO_ERR_DISK_INFO,
                     "Could not check whether staging blob [" + blob + "] exists in storage account [" + account +
                         "]: " + sdk->GetLastErrorString() + " (error code " +
                         std::to_string(sdk->GetLastErrorCode()) + ")");
            return false;
        case Presence::Absent:
            break;
    }
    EvDebug::Debug(tag,
                   "Staging blob [%s] is not available in storage account. Recreating staging blob to retry download "
                   "page",
                   blob.c_str());
    std::string newBlob;
    if (!sdk->CreateBackupBlobFromSnapshot(disk.sourceUri, account, container, blob, newBlob)) {
        EvDebug::Error(tag, "Failed to create staging blob [%s]", newBlob.c_str());
        return false;
    }
    EvDebug::Debug(tag, "Staging blob [%s] is recreated. Retrying to download page", newBlob.c_str());
    if (!_DownloadBlock(disk.dataUrl, ctx, blockIndex, bytes, buffer)) return false;
    EvDebug::Debug(tag, "Download request is succeeded from staging blob");
    return true;
}

bool CAzureInfo::_DownloadBlock(const std::string& url, const SDownloadCtx& ctx, ULONGLONG blockIndex, UINT bytes,
                                unsigned char* buffer) {
    static const char* tag =
        "bool CAzureInfo::_DownloadBlock(const string&, const SDownloadCtx&, ULONGLONG, UINT, unsigned char*)";
    if (!nativeDownload) {
        if (sdk->DownloadBlobPageToBuffer(url, blockIndex, buffer, bytes)) return true;
        SetLastVMErrorDetails(sdk->GetLastErrorString());
        return false;
    }
    const ULONGLONG byteOffset = blockIndex * bytes;
    // A read that starts at or past the end has nothing to clamp to; asking for it
    // would turn the shortened length negative.
    if (byteOffset >= ctx.blobSize) {
        EvDebug::Error(tag, "Read at offset [%llu] is outside the blob of size [%llu] bytes",
                       static_cast<unsigned long long>(byteOffset), static_cast<unsigned long long>(ctx.blobSize));
        return false;
    }
    if (byteOffset + bytes > ctx.blobSize) {
        const UINT shortened = static_cast<UINT>(ctx.blobSize - byteOffset);
        EvDebug::Debug(tag, "Blob size [%llu], Offset [%llu], Adjusting buffer size from [%u] to [%u] bytes",
                       static_cast<unsigned long long>(ctx.blobSize), static_cast<unsigned long long>(byteOffset),
                       bytes, shortened);
        bytes = shortened;
    }
    return _DownloadBlockAtOffset(url, ctx, byteOffset, bytes, buffer);
}

bool CAzureInfo::_DownloadBlockAtOffset(const std::string& url, const SDownloadCtx& ctx, ULONGLONG byteOffset,
                                        UINT bytes, unsigned char* buffer) {
    static const char* tag =
        "bool CAzureInfo::_DownloadBlockAtOffset(const string&, const SDownloadCtx&, ULONGLONG, UINT, unsigned char*)";
    const unsigned long long offset = byteOffset;
    if (bytes <= blobtransfer::kPieceBytes) {
        if (downloadLogging)
            EvDebug::Debug(tag, "Downloading buffer of size [%u] at offset [%llu] for blob [%s]", bytes, offset,
                           url.c_str());
        if (!_DownloadBufferWithRetry(url, ctx, byteOffset, bytes, buffer)) {
            EvDebug::Debug(tag, "Failed to download buffer at offset [%llu] with size [%u] for blob [%s]", offset,
                           bytes, url.c_str());
            return false;
        }
        EvDebug::DebugLvl(tag, 2, "Buffer at offset [%llu] downloaded successfully", offset);
        return true;
    }
    EvDebug::DebugLvl(tag, 2, "Downloading at offset [%llu] with size [%u] for blob [%s]", offset, bytes, url.c_str());
    ULONGLONG relative = 0;
    UINT left = bytes;
    while (left > 0) {
        const UINT piece = std::min(blobtransfer::kPieceBytes, left);
        const ULONGLONG actual = byteOffset + relative;
        std::vector<unsigned char> pieceBuffer(piece, 0);
        if (downloadLogging)
            EvDebug::Debug(tag, "BaseOffset [%llu], relativeOffset [%llu], ActualOffset [%llu], Buffer Size [%u]",
                           offset, static_cast<unsigned long long>(relative), static_cast<unsigned long long>(actual),
                           piece);
        if (!_DownloadBufferWithRetry(url, ctx, actual, piece, pieceBuffer.data())) {
            EvDebug::Debug(tag, "Failed to download buffer at offset [%llu] with size [%u] for blob [%s]", offset,
                           piece, url.c_str());
            return false;
        }
        std::memcpy(buffer + relative, pieceBuffer.data(), piece);
        relative += piece;
        left -= piece;
    }
    EvDebug::DebugLvl(tag, 2, "Buffer at offset [%llu] downloaded successfully", offset);
    return true;
}

bool CAzureInfo::_DownloadBufferWithRetry(const std::string& url, const SDownloadCtx& ctx, ULONGLONG byteOffset,
                                          UINT bytes, unsigned char* buffer) {
    static const char* tag =
        "bool CAzureInfo::_DownloadBufferWithRetry(const string&, const SDownloadCtx&, ULONGLONG, UINT, unsigned "
        "char*)";
    const unsigned long long offset = byteOffset;
    for (unsigned long attempt = 1;; ++attempt) {
        if (_DownloadBuffer(url, ctx, byteOffset, bytes, buffer)) {
            EvDebug::DebugLvl(tag, 2, "Page at offset [%llu] downloaded successfully", offset);
            return true;
        }
        EvDebug::Debug(tag, "Failed to download buffer at offset [%llu] with size [%u] for Blob [%s], Attempt Count [%d]",
                       offset, bytes, url.c_str(), static_cast<int>(attempt));
        if (attempt >= blobtransfer::AttemptLimit("nAzureMaxBlobDownloadAttempts")) return false;
        KASLEEP(blobtransfer::kRetryPauseMs);
    }
}

bool CAzureInfo::_GetAccessToken(std::string& cached, NxCriticalSection& lock, const std::string& url, bool refresh,
                                 std::string& token, const char* tag) {
    std::lock_guard<NxCriticalSection> hold(lock);
    if (refresh) EvDebug::Debug(tag, "Refreshing storage access token for the next attempt ...");
    if (refresh || cached.empty()) {
        std::string fetched;
        if (!sdk->GetStorageAccessToken(fetched)) {
            SetLastVMErrorDetails(sdk->GetLastErrorString());
            EvDebug::Error(tag, "Failed to get Storage access token for Blob [%s]", url.c_str());
            return false;
        }
        cached = fetched;
        if (refresh) EvDebug::Debug(tag, "Refreshed storage access token [%s]", fetched.c_str());
    }
    token = cached;
    return true;
}

bool CAzureInfo::_DownloadBuffer(const std::string& url, const SDownloadCtx& ctx, ULONGLONG byteOffset, UINT bytes,
                                 unsigned char* buffer) {
    const char* tag = kReadBufferTag;
    NXLibCurl curl;
    if (!curl.NXLibCurlInit("Content-Type: application/x-www-form-urlencoded", true, true)) {
        EvDebug::Debug(tag, "Failed to Initialize Curl Library");
        return false;
    }
    curl.NXLibCurlFreeHttpHeaderList();
    if (!curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, "User-Agent: curl/7.32.0")) {
        EvDebug::Error(tag, "Failed to set CURL UserAgent header");
        return false;
    }
    if (ctx.isSasUrl) {
        EvDebug::DebugLvl(tag, 2, "Detected SAS URI for Blob [%s]. Ignoring Storage access token generation",
                          url.c_str());
    } else {
        std::string token;
        if (!_GetAccessToken(downloadAccessToken, downloadAccessTokenLock, url, false, token, tag)) return false;
        EvDebug::DebugLvl(tag, 2, "Storage Access Token [%s]", token.c_str());
        if (!curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, "Authorization: Bearer " + token)) {
            EvDebug::Error(tag, "Failed to set authentication header");
            return false;
        }
    }
    char range[80];
    std::snprintf(range, sizeof range, "Range: bytes=%llu-%llu", static_cast<unsigned long long>(byteOffset),
                  static_cast<unsigned long long>(byteOffset + bytes - 1));
    if (!curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, range)) {
        EvDebug::Error(tag, "Failed to set range header");
        return false;
    }
    if (!curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, "x-ms-version:2018-03-28")) {
        EvDebug::Error(tag, "Failed to set apiVersionHeader header");
        return false;
    }
    if (!curl.NXLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOSIGNAL, 1))
        EvDebug::Debug(tag, "Continuing download without option CURLOPT_NOSIGNAL");
    if (!curl.NXLibCurlSetAdditionalOptionsIntValue(CURLOPT_MAXFILESIZE, static_cast<int>(blobtransfer::kPieceBytes)))
        EvDebug::Debug(tag, "Failed to set CURLOPT_MAXFILESIZE");
    if (!curl.NXLibCurlSetCallbackWriteFunction(&CAzureInfo::curl_write_callback)) {
        EvDebug::Debug(tag, "failed to set CURL write callback function");
        return false;
    }
    SCURLData data(bytes);
    if (!curl.NXLibCurlSetWriteData(&data)) {
        EvDebug::Debug(tag, "failed to set CURL write userdata");
        return false;
    }
    const bool sent = curl.NXLibCurlSendHttpReqLog(NX_HTTP_GET, url, std::string(), 0, false, false);
    const unsigned long status = curl.GetHttpErrorCode();
    // A body that ends before the requested range is complete is a failed request,
    // never a block padded with zeros.
    const bool complete = data.offset == bytes;
    if ((sent || status == 206) && complete) {
        std::memcpy(buffer, data.buffer.data(), bytes);
        blobtransfer::LogResponse(kReadBufferTag, url, blobtransfer::ResponseText(curl), 2);
        return true;
    }
    if (!complete && (sent || status == 206))
        EvDebug::Error(tag, "Incomplete response body from [%s]: received [%llu] of [%u] bytes", url.c_str(),
                       data.offset, bytes);
    EvDebug::Error(tag, "Error: API failed. operation [%d]. URL[%s]. Request [%s], HTTP Error Code [%lu]", 0,
                   url.c_str(), "", status);
    if (!ctx.isSasUrl) {
        std::string token;
        if (!_GetAccessToken(downloadAccessToken, downloadAccessTokenLock, url, true, token, tag)) return false;
    }
    blobtransfer::LogResponse(kReadBufferTag, url, blobtransfer::ResponseText(curl), 0);
    return false;
}

size_t CAzureInfo::curl_write_callback(char* ptr, size_t size, size_t nmemb, void* userdata) {
    SCURLData* data = static_cast<SCURLData*>(userdata);
    if (!data || !ptr) return kCurlPause;
    const size_t chunk = size * nmemb;
    if (data->remaining == 0) return chunk;
    const size_t copied = static_cast<size_t>(std::min<unsigned long long>(chunk, data->remaining));
    std::memcpy(data->buffer.data() + data->offset, ptr, copied);
    data->offset += copied;
    data->remaining -= copied;
    return chunk;
}
