// A path value: built up with Append, asked whether it exists and for its extension.
#pragma once

#include <string>

class CKaPath {
public:
    CKaPath() = default;
    explicit CKaPath(std::string path);

    // Adds `name` as a new last segment (see FXPath::Append).
    CKaPath& Append(const std::string& name);
    bool Exists() const;
    // Extension of the last segment without its dot ("vhd" for "a/disk.vhd");
    // empty when there is none (also for names like ".profile").
    std::string GetExt() const;

    const std::string& str() const { return path_; }

private:
    std::string path_;
};
