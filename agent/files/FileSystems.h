// Finds and opens the file system of a partition with the first reader of the
// agent that recognises it.
#pragma once

#include <memory>
#include <string>

#include "agent/files/FileSystem.h"

namespace vsagent {

// The file system on `partition` (which must outlive it); none, with `why` set,
// when no reader of the agent recognises what the partition holds. Throws
// StoreError when a reader recognises it but cannot open it (a damaged one).
std::unique_ptr<FileSystem> OpenFileSystem(const ByteSource& partition, std::string& why);

}  // namespace vsagent
