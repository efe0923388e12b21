// Folder helpers of the host framework. Error texts are the system's messages.
#pragma once

#include <string>

// Removes the folder at `path` with everything in it. True when nothing is
// left at `path` (also when there was nothing); false, touching nothing, when
// `path` is not a folder.
bool DeleteDirRecursively(const std::string& path, std::string* error = nullptr);

// Creates the folder at `path` with any missing parents. True when a folder
// is there afterwards; false when creation fails or something else is there.
bool CreateFolderIfNotPresent(const std::string& path, std::string* error = nullptr);
