#include "agent/job/RecordFile.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace vsagent {

std::optional<nlohmann::json> ReadRecordDocument(const std::string& path, std::size_t maxBytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(maxBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.gcount() > static_cast<std::streamsize>(maxBytes)) return std::nullopt;
    text.resize(static_cast<std::size_t>(in.gcount()));
    nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) return std::nullopt;
    return document;
}

long long FolderNumber(const std::string& folder, const std::string& prefix) {
    const std::string name = std::filesystem::path(folder).filename().string();
    if (name.rfind(prefix, 0) != 0 || name.size() > prefix.size() + 18) return 0;
    const std::string digits = name.substr(prefix.size());
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return std::stoll(digits);
}

bool IsPrintableName(const nlohmann::json& value, std::size_t maxLength, bool mayBeEmpty) {
    if (!value.is_string()) return false;
    const std::string& text = value.get_ref<const std::string&>();
    if (text.size() > maxLength || (text.empty() && !mayBeEmpty)) return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

}  // namespace vsagent
