// Small documents of the store (manifests, job records, the prune journal) are
// replaced whole: written under a temporary name, flushed, renamed into place and
// the folder flushed, so that a reader, or a run after a crash, finds either the
// old document or the new one, never a part of one.
#pragma once

#include <string>

namespace vsagent {

// Throws StoreError naming the file when any step fails; the temporary file is then removed.
void WriteFileAtomically(const std::string& path, const std::string& text);

}  // namespace vsagent
