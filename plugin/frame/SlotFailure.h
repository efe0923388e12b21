// How an interface slot fails when it cannot do its work: with a host error
// code and a text the host shows, never with an exception crossing into the host.
#pragma once

#include <string>

#include "host/vminfo/CVMInfo.h"

// Logs `text` as an error under `tag` and stores it with `code` as the last error.
void FailSlot(CVMInfo& plugin, const char* tag, EVMInfoError code, const std::string& text);

// Fails a step after a wrapper call returned false: `code`, with `what` and the wrapper's own text.
void FailWrapperCall(CVMInfo& plugin, const char* tag, EVMInfoError code, const std::string& what,
                     const std::string& wrapperText);

// Fails a hand-over to a step this build does not have; returns the slot's failure result 0.
int FailUnavailable(CVMInfo& plugin, const char* tag, EVMInfoError code, const std::string& what);

// Records the exception being handled as the last error with `code` and logs it
// under `tag`; only called from inside a catch block. Never throws itself.
void FailSlotOnException(CVMInfo& plugin, const char* tag, EVMInfoError code) noexcept;

// Runs a slot's body. An exception leaving it is logged and stored with `code`,
// and the slot returns `failed` instead.
template <class Result, class Body>
Result GuardSlot(CVMInfo& plugin, const char* tag, EVMInfoError code, Result failed, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        FailSlotOnException(plugin, tag, code);
    }
    return failed;
}
