// Lifecycle of blobs and snapshots; the data path is in PageBlobData.cpp.
#include "azsim/blob/PageBlobStore.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "azsim/blob/BlobVersions.h"
#include "azsim/blob/SnapshotId.h"
#include "azsim/blob/SparseFile.h"

namespace fs = std::filesystem;

namespace azsim {

using namespace blob;

namespace {

constexpr std::uint64_t kMaxPageBlobSize = 8ULL << 40;

std::vector<std::string> subfolders(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_directory(ec)) out.push_back(it->path().string());
    return out;
}

// A fresh file in the store's staging folder, for data being prepared outside any blob's lock.
std::string stagingFile(const std::string& root, std::string* error) {
    std::error_code ec;
    fs::create_directories(BlobFolder::stagingDir(root), ec);
    std::string path = BlobFolder::stagingDir(root) + "/copy-XXXXXX";
    int fd = ::mkstemp(path.data());
    if (fd < 0) {
        fail(error, systemError("cannot create a staging file in", BlobFolder::stagingDir(root)));
        return std::string();
    }
    ::close(fd);
    return path;
}

// Freezes the data and metadata of the (exclusively locked) blob as snapshot `id`.
bool freeze(const BlobFolder& folder, BlobState state, const std::string& id, std::string* error) {
    std::error_code ec;
    fs::create_directories(folder.snapshotsDir(), ec);
    const std::string copy = folder.dataPath(id) + ".tmp";
    if (!shareFile(folder.dataPath(std::string()), copy, error)) {
        ::unlink(copy.c_str());
        return false;
    }
    if (std::rename(copy.c_str(), folder.dataPath(id).c_str()) != 0) {
        fail(error, systemError("cannot store snapshot data", folder.dataPath(id)));
        ::unlink(copy.c_str());
        return false;
    }
    state.snapshotId = id;
    state.lastSnapshotId.clear();
    if (!replaceFile(folder.metaPath(id), encodeState(state), error)) {
        ::unlink(folder.dataPath(id).c_str());
        return false;
    }
    return true;
}

}  // namespace

PageBlobStore::PageBlobStore(std::string rootDir) : root_(std::move(rootDir)) {}

bool PageBlobStore::createPageBlob(const BlobKey& key, std::uint64_t sizeBytes, bool overwrite, std::string* error) {
    if (!validKey(key)) return fail(error, invalidName(key));
    if (sizeBytes % kPageSize != 0)
        return fail(error, "page blob size " + std::to_string(sizeBytes) + " is not a multiple of 512");
    if (sizeBytes > kMaxPageBlobSize)
        return fail(error, "page blob size " + std::to_string(sizeBytes) + " exceeds 8 TiB");
    BlobFolder folder(root_, key);
    BlobLock lock;
    if (!lock.acquire(folder, BlobLock::Mode::Exclusive, true, error)) return false;
    if (!overwrite && ::access(folder.metaPath().c_str(), F_OK) == 0)
        return fail(error, "blob [" + describe(key) + "] already exists");
    const std::string fresh = folder.dir() + "/data.new";
    return createSparseFile(fresh, sizeBytes, error) &&
           installVersion(folder, key, BlobType::Page, sizeBytes, IntervalMap<bool>(), fresh, error);
}

bool PageBlobStore::putBlockBlob(const BlobKey& key, const std::string& content, std::string* error) {
    if (!validKey(key)) return fail(error, invalidName(key));
    BlobFolder folder(root_, key);
    BlobLock lock;
    if (!lock.acquire(folder, BlobLock::Mode::Exclusive, true, error)) return false;
    const std::string fresh = folder.dir() + "/data.new";
    return replaceFile(fresh, content, error) &&
           installVersion(folder, key, BlobType::Block, content.size(), IntervalMap<bool>(), fresh, error);
}

bool PageBlobStore::getBlockBlob(const BlobKey& key, std::string& content) const {
    if (!validKey(key)) return false;
    BlobFolder folder(root_, key);
    BlobLock lock;
    BlobState state;
    return lock.acquire(folder, BlobLock::Mode::Shared, false, nullptr) &&
           loadVersion(folder, std::string(), state) && state.header.type == BlobType::Block &&
           readWholeFile(folder.dataPath(std::string()), content);
}

bool PageBlobStore::exists(const BlobKey& key, const std::string& snapshot) const {
    return validKey(key) && validVersion(snapshot) &&
           ::access(BlobFolder(root_, key).metaPath(snapshot).c_str(), F_OK) == 0;
}

bool PageBlobStore::properties(const BlobKey& key, const std::string& snapshot, BlobProperties& out) const {
    if (!validKey(key) || !validVersion(snapshot)) return false;
    BlobFolder folder(root_, key);
    BlobLock lock;
    StateHeader header;
    if (!lock.acquire(folder, BlobLock::Mode::Shared, false, nullptr) || !loadHeader(folder, snapshot, header))
        return false;
    out.type = header.type;
    out.size = header.size;
    out.etag = header.etag();
    out.lastModified = header.lastModified;
    return true;
}

bool PageBlobStore::deleteBlob(const BlobKey& key) {
    if (!validKey(key)) return false;
    BlobFolder folder(root_, key);
    BlobLock lock;
    if (!lock.acquire(folder, BlobLock::Mode::Exclusive, false, nullptr)) return false;
    bool existed = ::unlink(folder.metaPath().c_str()) == 0;
    std::error_code ec;
    fs::remove_all(folder.snapshotsDir(), ec);
    for (const char* name : {"/journal", "/data", "/data.new", "/meta.tmp"}) ::unlink((folder.dir() + name).c_str());
    lock.removeFolder(folder);
    return existed;
}

bool PageBlobStore::deleteSnapshot(const BlobKey& key, const std::string& snapshot) {
    if (!validKey(key) || snapshot.empty() || !validVersion(snapshot)) return false;
    BlobFolder folder(root_, key);
    BlobLock lock;
    if (!lock.acquire(folder, BlobLock::Mode::Exclusive, false, nullptr)) return false;
    bool existed = ::unlink(folder.metaPath(snapshot).c_str()) == 0;
    ::unlink(folder.dataPath(snapshot).c_str());
    return existed;
}

std::vector<std::string> PageBlobStore::snapshots(const BlobKey& key) const {
    std::vector<std::string> ids;
    if (!validKey(key)) return ids;
    BlobFolder folder(root_, key);
    BlobLock lock;
    if (!lock.acquire(folder, BlobLock::Mode::Shared, false, nullptr)) return ids;
    std::error_code ec;
    for (fs::directory_iterator it(folder.snapshotsDir(), ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& p = it->path();
        std::string id = p.stem().string();
        if (p.extension() == ".meta" && !id.empty() && validVersion(id)) ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::vector<BlobKey> PageBlobStore::list(const std::string& account, const std::string& container) const {
    std::vector<BlobKey> keys;
    if (account.empty()) return keys;
    const std::string accountDir = BlobFolder::accountDir(root_, account);
    std::vector<std::string> containers = container.empty()
                                              ? subfolders(accountDir)
                                              : std::vector<std::string>{accountDir + "/" + escapeComponent(container)};
    for (const std::string& containerDir : containers) {
        for (const std::string& blobDir : subfolders(containerDir)) {
            // The metadata is replaced atomically, so it reads whole without the blob's lock.
            std::string bytes;
            BlobState state;
            if (readWholeFile(blobDir + "/meta", bytes) && decodeState(bytes, state)) keys.push_back(state.key);
        }
    }
    std::sort(keys.begin(), keys.end(), [](const BlobKey& a, const BlobKey& b) {
        return a.name != b.name ? a.name < b.name : a.container < b.container;
    });
    return keys;
}

std::string PageBlobStore::createSnapshot(const BlobKey& key, std::string* error) {
    BlobFolder folder(root_, key);
    BlobLock lock;
    BlobState state;
    std::string why;
    if (!validKey(key)) {
        fail(error, invalidName(key));
        return std::string();
    }
    if (!lock.acquire(folder, BlobLock::Mode::Exclusive, false, &why) ||
        !loadVersion(folder, std::string(), state)) {
        fail(error, why.empty() ? missing(key) : why);
        return std::string();
    }
    const std::string id = nextSnapshotId(state.lastSnapshotId);
    if (!freeze(folder, state, id, error)) return std::string();
    state.lastSnapshotId = id;
    if (!saveCurrent(folder, state, error)) {
        ::unlink(folder.metaPath(id).c_str());
        ::unlink(folder.dataPath(id).c_str());
        return std::string();
    }
    return id;
}

bool PageBlobStore::copyBlob(const BlobKey& from, const std::string& fromSnapshot, const BlobKey& to,
                             std::string* error) {
    if (!validKey(from) || !validKey(to)) return fail(error, invalidName(validKey(from) ? to : from));
    if (!validVersion(fromSnapshot)) return fail(error, "snapshot [" + fromSnapshot + "] does not exist");
    // The staging file reserves a name no other copy uses; the shared data goes beside it.
    const std::string reserved = stagingFile(root_, error);
    if (reserved.empty()) return false;
    const std::string staged = reserved + ".data";
    struct Unreserve {
        const std::string& path;
        ~Unreserve() { ::unlink(path.c_str()); }
    } unreserve{reserved};
    BlobState source;
    {
        BlobFolder folder(root_, from);
        BlobLock lock;
        std::string why;
        bool found = lock.acquire(folder, BlobLock::Mode::Shared, false, &why) &&
                     loadVersion(folder, fromSnapshot, source);
        // Shared, not copied: a copy costs no time or space until one side changes its pages.
        if (!found || source.header.type != BlobType::Page ||
            !shareFile(folder.dataPath(fromSnapshot), staged, &why)) {
            ::unlink(staged.c_str());
            if (!found && why.empty()) why = missing(from);
            if (found && why.empty()) why = notPageBlob(from);
            return fail(error, why);
        }
    }
    BlobFolder folder(root_, to);
    BlobLock lock;
    if (!lock.acquire(folder, BlobLock::Mode::Exclusive, true, error)) {
        ::unlink(staged.c_str());
        return false;
    }
    return installVersion(folder, to, BlobType::Page, source.header.size, source.allocated, staged, error);
}

}  // namespace azsim
