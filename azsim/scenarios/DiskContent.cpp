#include "azsim/scenarios/DiskContent.h"

#include <algorithm>
#include <vector>

#include "azsim/StateFolder.h"

namespace azsim {

namespace {

constexpr std::size_t kChunkBytes = 4 * 1024 * 1024;

std::uint64_t AlignedMember(const nlohmann::json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_number_integer() || it->get<std::int64_t>() < 0)
        throw Error(std::string("disk content needs a non-negative \"") + key + "\"");
    std::uint64_t value = it->get<std::uint64_t>();
    if (value % PageBlobStore::kPageSize != 0)
        throw Error(std::string("disk content \"") + key + "\" " + std::to_string(value) + " is not a multiple of 512");
    return value;
}

std::string Expand(std::string text, const std::string& diskName, std::uint64_t block) {
    const std::pair<std::string, std::string> replacements[] = {{"{disk}", diskName},
                                                                {"{block}", std::to_string(block)}};
    for (const auto& r : replacements)
        for (auto at = text.find(r.first); at != std::string::npos; at = text.find(r.first, at + r.second.size()))
            text.replace(at, r.first.size(), r.second);
    return text;
}

}  // namespace

ContentFill ContentFillFromJson(const nlohmann::json& j) {
    if (!j.is_object()) throw Error("disk content entry is not an object");
    ContentFill fill;
    fill.offset = AlignedMember(j, "offset");
    fill.length = AlignedMember(j, "length");
    std::string kind = j.value("fill", "");
    if (kind == "text") {
        fill.kind = FillKind::Text;
        fill.text = j.value("text", "");
        if (fill.text.empty()) throw Error("disk content of kind text needs a non-empty \"text\"");
    } else if (kind == "random") {
        fill.kind = FillKind::Random;
        fill.seed = j.value("seed", std::uint64_t{0});
    } else if (kind == "zeros") {
        fill.kind = FillKind::Zeros;
    } else {
        throw Error("disk content \"fill\" must be text, random or zeros, not [" + kind + "]");
    }
    return fill;
}

ContentGenerator::ContentGenerator(const ContentFill& fill, std::string diskName)
    : fill_(fill), diskName_(std::move(diskName)), position_(fill.offset), random_(fill.seed) {}

void ContentGenerator::next(char* out, std::size_t length) {
    switch (fill_.kind) {
        case FillKind::Zeros:
            std::fill(out, out + length, 0);
            break;
        case FillKind::Random:
            for (std::size_t i = 0; i < length; ++i) {
                if (randomBytesLeft_ == 0) {
                    randomWord_ = random_();
                    randomBytesLeft_ = 8;
                }
                out[i] = static_cast<char>(randomWord_ & 0xff);
                randomWord_ >>= 8;
                --randomBytesLeft_;
            }
            break;
        case FillKind::Text: {
            std::size_t done = 0;
            while (done < length) {
                std::uint64_t at = position_ + done;
                std::uint64_t block = at / kBlockSize;
                std::uint64_t inBlock = at % kBlockSize;
                std::string pattern = Expand(fill_.text, diskName_, block);
                std::size_t run =
                    static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize - inBlock, length - done));
                for (std::size_t i = 0; i < run; ++i) out[done + i] = pattern[(inBlock + i) % pattern.size()];
                done += run;
            }
            break;
        }
    }
    position_ += length;
}

bool WriteContent(PageBlobStore& store, const BlobKey& blob, const ContentFill& fill, const std::string& diskName,
                  std::string* error) {
    ContentGenerator generator(fill, diskName);
    std::vector<char> chunk(kChunkBytes);
    for (std::uint64_t done = 0; done < fill.length;) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkBytes, fill.length - done));
        generator.next(chunk.data(), n);
        if (!store.writePages(blob, fill.offset + done, chunk.data(), n, error)) return false;
        done += n;
    }
    return true;
}

}  // namespace azsim
