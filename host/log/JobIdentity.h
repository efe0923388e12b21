// Identity of the running job, set by the agent before it creates the plugin
// and read by the plugin at construction and when it tags snapshots.
#pragma once

#include <cstdint>
#include <string>

typedef long long NXJobID;

class EvEvent {
public:
    static NXJobID getJobId();
    static void setJobId(NXJobID id);
};

class NXPI_Focus {
public:
    // The agent instance ("focus") the job runs under; empty when none was set.
    static std::string getFocus();
    static void setFocus(const std::string& focus);
};
