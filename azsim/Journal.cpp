#include "azsim/Journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace azsim {

namespace {

// Length of the valid UTF-8 sequence that starts at text[at] (RFC 3629: no
// overlong forms, no surrogates, nothing above U+10FFFF); 0 when none does.
size_t Utf8SequenceLength(const std::string& text, size_t at) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[at + k]);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

bool IsUtf8(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        const size_t length = Utf8SequenceLength(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

}  // namespace

std::string Utf8Escaped(const std::string& text) {
    if (IsUtf8(text)) return text;
    std::string out;
    for (size_t at = 0; at < text.size();) {
        const size_t length = Utf8SequenceLength(text, at);
        if (length > 0) {
            out.append(text, at, length);
            at += length;
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[at]));
        out += escaped;
        ++at;
    }
    return out;
}

nlohmann::json Utf8Escaped(nlohmann::json value) {
    if (value.is_string()) return Utf8Escaped(value.get_ref<const std::string&>());
    if (value.is_array()) {
        for (nlohmann::json& item : value) item = Utf8Escaped(std::move(item));
        return value;
    }
    if (!value.is_object()) return value;
    nlohmann::json out = nlohmann::json::object();
    for (auto it = value.begin(); it != value.end(); ++it)
        out[Utf8Escaped(it.key())] = Utf8Escaped(std::move(it.value()));
    return out;
}

Journal::Journal(std::string stateDir) : path_((std::filesystem::path(stateDir) / "journal.jsonl").string()) {}

void Journal::record(const std::string& operation, const nlohmann::json& args) const {
    nlohmann::json entry = Utf8Escaped(nlohmann::json{{"op", operation}, {"args", args}});
    std::string line = entry.dump() + "\n";
    // One write() of an O_APPEND file keeps lines of concurrent writers whole.
    int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t written = ::write(fd, line.data(), line.size());
    (void)written;
    ::close(fd);
}

std::vector<nlohmann::json> Journal::entries() const {
    std::vector<nlohmann::json> out;
    std::ifstream in(path_);
    std::string line;
    while (std::getline(in, line)) {
        nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
        if (!entry.is_discarded()) out.push_back(std::move(entry));
    }
    return out;
}

std::vector<nlohmann::json> Journal::entries(const std::string& operation) const {
    std::vector<nlohmann::json> out;
    for (auto& e : entries())
        if (e.value("op", "") == operation) out.push_back(std::move(e));
    return out;
}

}  // namespace azsim
