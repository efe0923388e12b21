#include "agent/files/ExtIoManager.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "agent/store/StoreError.h"

namespace vsagent {
namespace {

std::mutex registryMutex;
std::map<std::string, ExtDevice*>& Registry() {
    static std::map<std::string, ExtDevice*> devices;
    return devices;
}

ExtDevice* Device(io_channel channel) { return static_cast<ExtDevice*>(channel->private_data); }

errcode_t Open(const char* name, int flags, io_channel* out) {
    if (!name || (flags & IO_FLAG_RW)) return EXT2_ET_RO_FILSYS;
    ExtDevice* device = nullptr;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        auto it = Registry().find(name);
        if (it == Registry().end()) return ENOENT;
        device = it->second;
    }
    auto* channel = static_cast<io_channel>(std::calloc(1, sizeof(struct_io_channel)));
    if (!channel) return ENOMEM;
    channel->magic = EXT2_ET_MAGIC_IO_CHANNEL;
    channel->manager = ExtIoManager();
    channel->name = strdup(name);
    channel->block_size = 1024;
    channel->refcount = 1;
    channel->private_data = device;
    *out = channel;
    return 0;
}

errcode_t Close(io_channel channel) {
    if (--channel->refcount > 0) return 0;
    std::free(channel->name);
    std::free(channel);
    return 0;
}

errcode_t SetBlockSize(io_channel channel, int blockSize) {
    if (blockSize <= 0) return EXT2_ET_INVALID_ARGUMENT;
    channel->block_size = blockSize;
    return 0;
}

// `count` blocks from `block`, or -count bytes when negative, as the library counts them.
errcode_t Read64(io_channel channel, unsigned long long block, int count, void* data) {
    ExtDevice* device = Device(channel);
    const std::uint64_t bytes = count < 0 ? static_cast<std::uint64_t>(-static_cast<long long>(count))
                                          : static_cast<std::uint64_t>(count) * static_cast<unsigned>(channel->block_size);
    const std::uint64_t size = device->source().size();
    const std::uint64_t blockSize = static_cast<unsigned>(channel->block_size);
    if (block > size / blockSize || bytes > size - block * blockSize) {
        device->setLastError("a read of " + std::to_string(bytes) + " bytes at block " + std::to_string(block) +
                             " lies beyond the " + std::to_string(size) + " bytes of the partition");
        std::memset(data, 0, bytes);
        return EXT2_ET_SHORT_READ;
    }
    try {
        device->source().read(block * blockSize, bytes, static_cast<unsigned char*>(data));
        return 0;
    } catch (const std::exception& e) {
        device->setLastError(e.what());
        return EIO;
    }
}

errcode_t Read(io_channel channel, unsigned long block, int count, void* data) {
    return Read64(channel, block, count, data);
}

errcode_t Write(io_channel, unsigned long, int, const void*) { return EXT2_ET_RO_FILSYS; }
errcode_t Write64(io_channel, unsigned long long, int, const void*) { return EXT2_ET_RO_FILSYS; }
errcode_t WriteByte(io_channel, unsigned long, int, const void*) { return EXT2_ET_RO_FILSYS; }
errcode_t Flush(io_channel) { return 0; }
errcode_t SetOption(io_channel, const char*, const char*) { return EXT2_ET_INVALID_ARGUMENT; }

struct_io_manager MakeManager() {
    struct_io_manager manager{};
    manager.magic = EXT2_ET_MAGIC_IO_MANAGER;
    manager.name = "vsagent store reader";
    manager.open = Open;
    manager.close = Close;
    manager.set_blksize = SetBlockSize;
    manager.read_blk = Read;
    manager.write_blk = Write;
    manager.flush = Flush;
    manager.write_byte = WriteByte;
    manager.set_option = SetOption;
    manager.read_blk64 = Read64;
    manager.write_blk64 = Write64;
    return manager;
}

}  // namespace

ExtDevice::ExtDevice(const ByteSource& source) : source_(source) {
    static unsigned long long next = 0;
    std::lock_guard<std::mutex> lock(registryMutex);
    name_ = "store-device-" + std::to_string(++next);
    Registry()[name_] = this;
}

ExtDevice::~ExtDevice() {
    std::lock_guard<std::mutex> lock(registryMutex);
    Registry().erase(name_);
}

std::string ExtDevice::lastError() const {
    std::lock_guard<std::mutex> lock(registryMutex);
    return lastError_;
}

void ExtDevice::setLastError(const std::string& error) {
    std::lock_guard<std::mutex> lock(registryMutex);
    lastError_ = error;
}

io_manager ExtIoManager() {
    static struct_io_manager manager = MakeManager();
    return &manager;
}

}  // namespace vsagent
