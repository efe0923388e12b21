#include "host/util/CKaPath.h"

#include <filesystem>
#include <utility>

#include "host/util/FXPath.h"

CKaPath::CKaPath(std::string path) : path_(std::move(path)) {}

CKaPath& CKaPath::Append(const std::string& name) {
    path_ = FXPath::Append(path_, name);
    return *this;
}

bool CKaPath::Exists() const {
    return FXPath::DoesPathExist(path_);
}

std::string CKaPath::GetExt() const {
    const std::string extension = std::filesystem::path(path_).extension().string();
    return extension.empty() ? extension : extension.substr(1);
}
