// What a host error code means for a person, and what to do about it.
#pragma once

#include <string>

namespace vsagent {

struct ErrorAdvice {
    std::string meaning;
    std::string action;
};

ErrorAdvice AdviceFor(int code);

}  // namespace vsagent
