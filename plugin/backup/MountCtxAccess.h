// The host passes the mount context as a constant reference but reads back
// what the mount writes into it (VM record, disk lists, snapshot GUIDs,
// change-tracking state); this is the one place that lifts the constness.
#pragma once

#include "plugin/frame/records/Contexts.h"

inline MountCtx& Writable(const MountCtx& ctx) { return const_cast<MountCtx&>(ctx); }
