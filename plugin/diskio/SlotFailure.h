// Interface slots of the disk data path never let an exception reach the host.
// Each slot's handler passes what escaped its body here: it is logged under
// the slot's tag and stored as the host's last error with its text, and the
// slot then returns its failure result.
#pragma once

#include "host/vminfo/CVMInfo.h"

// Records the exception being handled as `info`'s last error; only called from inside a catch block.
void FailSlotOnException(CVMInfo& info, const char* tag) noexcept;
