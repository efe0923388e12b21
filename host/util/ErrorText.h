// Reports a failed file-system call: stores the system's message where the caller asked for it.
#pragma once

#include <string>
#include <system_error>

inline bool FailWithErrorText(const std::error_code& code, std::string* error) {
    if (error) *error = code.message();
    return false;
}
