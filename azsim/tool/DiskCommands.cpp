// write, hash and url: the data of disks, blobs and snapshots.
#include <openssl/evp.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <vector>

#include "azsim/model/ResourceIds.h"
#include "azsim/model/SubscriptionState.h"
#include "azsim/scenarios/DiskContent.h"
#include "azsim/tool/Commands.h"
#include "azsim/tool/ImageWrite.h"

namespace azsimtool {

namespace {

const char* const kWriteUsage =
    "usage: azsim write --state DIR --vm NAME [--disk N] --offset BYTES\n"
    "                   (--text T | --random SEED --length L | --zero --length L)\n"
    "       azsim write --state DIR --vm NAME [--disk N] --file IMAGE [--offset BYTES]\n"
    "\n"
    "Writes to disk N (0 = OS disk, the default) of VM NAME as its guest would:\n"
    "the text T (padded with zeros to whole 512-byte pages), L bytes of seeded\n"
    "pseudo-random data, or L zero bytes (the pages are cleared). BYTES and L must\n"
    "be multiples of 512.\n"
    "\n"
    "With --file, puts the image file IMAGE (a file system, say) on the disk from\n"
    "BYTES (default 0), so that the disk then reads exactly as the image there (a\n"
    "partial last page as if padded with zeros): non-zero pages are written, zero\n"
    "pages cleared where the disk held data. The image must fit on the disk.\n";

const char* const kHashUsage =
    "usage: azsim hash --state DIR (--vm NAME [--disk N] | --blob URL | --snapshot NAME_OR_ID)\n"
    "                  [--offset O] [--length L | --root]\n"
    "\n"
    "Prints the SHA-256 (hex) of the bytes of a VM's disk (N: 0 = OS disk), of a blob\n"
    "or blob snapshot given by its URL (\"?snapshot=\" selects a snapshot), or of a\n"
    "managed snapshot given by name or resource id; by default the whole of it, else\n"
    "L bytes (to the end without L) from offset O.\n"
    "\n"
    "With --root, prints the windowed root digest of the whole of it instead: the\n"
    "SHA-256 of each 4 MiB window from offset 0 (the last one covers what remains),\n"
    "then the SHA-256 of those 32-byte digests in order. Only windows with allocated\n"
    "pages are read; the others read as zeros and take the digest of zeros.\n";

const char* const kUrlUsage =
    "usage: azsim url --state DIR --vm NAME [--disk N]\n"
    "\n"
    "Prints the URL at which the blob endpoint serves disk N (0 = OS disk, the\n"
    "default) of VM NAME: the page blob of an unmanaged disk, or the internal\n"
    "blob of a managed disk. Reads need a bearer token ('azsim token').\n";

constexpr std::uint64_t kChunkBytes = 4 * 1024 * 1024;

struct Target {
    azsim::BlobKey blob;
    std::string snapshot;
};

// The page blob of a VM's disk (--vm, --disk).
bool ResolveVmDisk(const azsim::StateDocument& doc, const CommandLine& line, Target& out, std::string& error) {
    const azsim::VirtualMachine* vm = doc.findVm(line.value("vm"));
    if (!vm) {
        error = "VM [" + line.value("vm") + "] does not exist";
        return false;
    }
    std::uint64_t index = 0;
    if (line.has("disk") && !line.number("disk", index, error)) return false;
    auto blob = doc.diskBlob(*vm, static_cast<std::size_t>(index));
    if (!blob) {
        error = "VM [" + vm->name + "] has no disk " + std::to_string(index) + " (it has " +
                std::to_string(vm->disks.size()) + ")";
        return false;
    }
    out.blob = *blob;
    return true;
}

bool ResolveHashTarget(const azsim::StateDocument& doc, const CommandLine& line, Target& out, std::string& error) {
    int chosen = line.has("vm") + line.has("blob") + line.has("snapshot");
    if (chosen != 1) {
        error = "name exactly one of --vm, --blob and --snapshot";
        return false;
    }
    if (line.has("vm")) return ResolveVmDisk(doc, line, out, error);
    if (line.has("blob")) {
        auto uri = azsim::ParseBlobUri(line.value("blob"));
        if (!uri) {
            error = "[" + line.value("blob") + "] is not a blob URL";
            return false;
        }
        out = {uri->key(), uri->snapshot};
        return true;
    }
    const std::string& wanted = line.value("snapshot");
    const azsim::ManagedSnapshot* snapshot = doc.findSnapshot(wanted);
    if (!snapshot) snapshot = doc.findSnapshotByName(wanted);
    if (!snapshot) {
        error = "snapshot [" + wanted + "] does not exist";
        return false;
    }
    out = {snapshot->blob, snapshot->storeSnapshot};
    return true;
}

std::string Hex(const unsigned char* bytes, std::size_t size) {
    static const char* kDigits = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < size; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 15];
    }
    return hex;
}

// SHA-256 of `size` bytes, as its 32 raw bytes.
std::string RawSha256(const char* data, std::size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

// The root of the windowed digest of the first `size` bytes of the target (see
// the usage): windows without an allocated page are never read, so the cost
// follows the allocated bytes. The digest of a full window of zeros is computed
// once, that of a short last window of zeros only when it is needed.
bool WindowRoot(const azsim::PageBlobStore& store, const Target& target, std::uint64_t size, std::string& hex,
                std::string& error) {
    std::vector<azsim::PageRange> ranges;
    if (!store.pageRanges(target.blob, target.snapshot, 0, size, ranges)) {
        error = "blob or snapshot does not exist";
        return false;
    }
    std::vector<char> chunk(kChunkBytes);
    const std::string zeroWindow = RawSha256(chunk.data(), chunk.size());
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> root(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(root.get(), EVP_sha256(), nullptr);
    std::size_t next = 0;  // the first range that ends past the window
    for (std::uint64_t start = 0; start < size; start += kChunkBytes) {
        const std::uint64_t length = std::min(kChunkBytes, size - start);
        while (next < ranges.size() && ranges[next].end <= start) ++next;
        std::string digest;
        if (next < ranges.size() && ranges[next].start < start + length) {
            const std::int64_t got = store.read(target.blob, target.snapshot, start, chunk.data(), length);
            if (got != static_cast<std::int64_t>(length)) {
                error = "blob or snapshot changed while it was read";
                return false;
            }
            digest = RawSha256(chunk.data(), length);
        } else {
            digest = length == kChunkBytes ? zeroWindow : RawSha256(std::vector<char>(length).data(), length);
        }
        EVP_DigestUpdate(root.get(), digest.data(), digest.size());
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(root.get(), digest, &length);
    hex = Hex(digest, length);
    return true;
}

bool Sha256(const azsim::PageBlobStore& store, const Target& target, std::uint64_t offset, std::uint64_t length,
            std::string& hex, std::string& error) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        error = "SHA-256 is not available";
        return false;
    }
    std::vector<char> chunk(kChunkBytes);
    for (std::uint64_t done = 0; done < length;) {
        std::uint64_t want = std::min(kChunkBytes, length - done);
        std::int64_t got = store.read(target.blob, target.snapshot, offset + done, chunk.data(), want);
        if (got < 0) {
            error = "blob or snapshot does not exist";
            return false;
        }
        if (got == 0) break;
        EVP_DigestUpdate(ctx.get(), chunk.data(), static_cast<std::size_t>(got));
        done += static_cast<std::uint64_t>(got);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &size);
    hex = Hex(digest, size);
    return true;
}

std::string PageError(const char* what, std::uint64_t value) {
    return std::string(what) + " " + std::to_string(value) +
           " is not a multiple of 512 bytes (page writes are 512-byte aligned)";
}

// The options of write that do not depend on the disk; -1 when they are right, else the exit code.
int CheckWriteOptions(const CommandLine& line, std::uint64_t& offset, std::uint64_t& length) {
    std::string error;
    if (!line.has("vm")) return Fail("write", "--vm NAME is required", kExitUsage);
    if (line.has("text") + line.has("random") + line.has("zero") + line.has("file") != 1)
        return Fail("write", "name exactly one of --text, --random, --zero and --file", kExitUsage);
    const bool image = line.has("file");
    if (!image && !line.has("offset")) return Fail("write", "--offset BYTES is required", kExitUsage);
    if (line.has("offset") && !line.number("offset", offset, error)) return Fail("write", error, kExitUsage);
    if (image && line.has("length"))
        return Fail("write", "--length does not go with --file: the image's size is the length", kExitUsage);
    if (!image && !line.has("text") && (!line.has("length") || !line.number("length", length, error)))
        return Fail("write", error.empty() ? "--length L is required" : error, kExitUsage);
    if (offset % azsim::PageBlobStore::kPageSize != 0) return Fail("write", PageError("offset", offset));
    if (length % azsim::PageBlobStore::kPageSize != 0) return Fail("write", PageError("length", length));
    return -1;
}

// write --text, --random or --zero: what a guest would write.
int WriteGuestData(const CommandLine& line, std::uint64_t offset, std::uint64_t length) {
    azsim::SubscriptionState state(line.value("state"));
    Target target;
    std::string error;
    if (!ResolveVmDisk(state.load(), line, target, error)) return Fail("write", error);
    azsim::PageBlobStore store = state.blobs();
    bool ok = false;
    if (line.has("text")) {
        std::string data = line.value("text");
        length = (data.size() + azsim::PageBlobStore::kPageSize - 1) / azsim::PageBlobStore::kPageSize *
                 azsim::PageBlobStore::kPageSize;
        data.resize(length, '\0');
        ok = store.writePages(target.blob, offset, data.data(), length, &error);
    } else if (line.has("random")) {
        azsim::ContentFill fill;
        fill.offset = offset;
        fill.length = length;
        fill.kind = azsim::FillKind::Random;
        if (!line.number("random", fill.seed, error)) return Fail("write", error, kExitUsage);
        ok = azsim::WriteContent(store, target.blob, fill, line.value("vm"), &error);
    } else {
        ok = store.clearPages(target.blob, offset, length, &error);
    }
    if (!ok) return Fail("write", error);
    std::cout << "wrote " << length << " bytes at offset " << offset << "\n";
    return kExitOk;
}

// write --file: the image put on the disk.
int WriteImageFile(const CommandLine& line, std::uint64_t offset) {
    azsim::SubscriptionState state(line.value("state"));
    Target target;
    std::string error;
    if (!ResolveVmDisk(state.load(), line, target, error)) return Fail("write", error);
    azsim::PageBlobStore store = state.blobs();
    ImageWriteCounts counts;
    if (!WriteImage(store, target.blob, line.value("file"), offset, counts, error)) return Fail("write", error);
    std::cout << "wrote image [" << line.value("file") << "] (" << counts.imageBytes << " bytes) at offset " << offset
              << ": " << counts.writtenBytes << " bytes of data written, " << counts.clearedBytes << " bytes cleared\n";
    return kExitOk;
}

}  // namespace

int RunWrite(int argc, char** argv) {
    CommandLine line;
    int exit = ParseCommand(argc, argv,
                            {{"vm", true},
                             {"disk", true},
                             {"offset", true},
                             {"text", true},
                             {"random", true},
                             {"zero", false},
                             {"length", true},
                             {"file", true}},
                            kWriteUsage, line);
    if (exit >= 0) return exit;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    exit = CheckWriteOptions(line, offset, length);
    if (exit >= 0) return exit;
    return line.has("file") ? WriteImageFile(line, offset) : WriteGuestData(line, offset, length);
}

int RunHash(int argc, char** argv) {
    CommandLine line;
    int exit = ParseCommand(
        argc, argv,
        {{"vm", true},
         {"disk", true},
         {"blob", true},
         {"snapshot", true},
         {"offset", true},
         {"length", true},
         {"root", false}},
        kHashUsage, line);
    if (exit >= 0) return exit;
    if (line.has("root") && (line.has("offset") || line.has("length")))
        return Fail("hash", "--root digests the whole disk; it takes no --offset or --length", kExitUsage);
    std::string error;
    azsim::SubscriptionState state(line.value("state"));
    Target target;
    if (!ResolveHashTarget(state.load(), line, target, error)) return Fail("hash", error);
    azsim::PageBlobStore store = state.blobs();
    azsim::BlobProperties properties;
    if (!store.properties(target.blob, target.snapshot, properties))
        return Fail("hash", "blob or snapshot does not exist");
    std::uint64_t offset = 0;
    if (line.has("offset") && !line.number("offset", offset, error)) return Fail("hash", error, kExitUsage);
    if (offset > properties.size)
        return Fail("hash", "offset lies past the end (" + std::to_string(properties.size) + " bytes)");
    std::uint64_t length = properties.size - offset;
    if (line.has("length") && !line.number("length", length, error)) return Fail("hash", error, kExitUsage);
    if (length > properties.size - offset)
        return Fail("hash", "range reaches past the end (" + std::to_string(properties.size) + " bytes)");
    std::string hex;
    const bool hashed = line.has("root") ? WindowRoot(store, target, properties.size, hex, error)
                                         : Sha256(store, target, offset, length, hex, error);
    if (!hashed) return Fail("hash", error);
    std::cout << hex << "\n";
    return kExitOk;
}

int RunUrl(int argc, char** argv) {
    CommandLine line;
    int exit = ParseCommand(argc, argv, {{"vm", true}, {"disk", true}}, kUrlUsage, line);
    if (exit >= 0) return exit;
    if (!line.has("vm")) return Fail("url", "--vm NAME is required", kExitUsage);
    azsim::StateDocument doc = azsim::SubscriptionState(line.value("state")).load();
    Target target;
    std::string error;
    if (!ResolveVmDisk(doc, line, target, error)) return Fail("url", error);
    bool managed = doc.findVm(line.value("vm"))->managed;
    std::cout << (managed ? azsim::ManagedDiskAccessUrl(target.blob) : azsim::PageBlobUri(target.blob)) << "\n";
    return kExitOk;
}

}  // namespace azsimtool
