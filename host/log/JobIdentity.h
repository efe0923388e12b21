// Identity of the running job, set by the agent before it creates the plugin
// and read by the plugin at construction and when it tags snapshots. The job id
// is the store's number, which another agent's store may use too; the job GUID
// is made when the job starts and is unique, so it is what marks the resources
// the job creates.
#pragma once

#include <cstdint>
#include <string>

typedef long long NXJobID;

class EvEvent {
public:
    static NXJobID getJobId();
    static void setJobId(NXJobID id);
    // Empty when none was set.
    static std::string getJobGuid();
    static void setJobGuid(const std::string& guid);
};

class NXPI_Focus {
public:
    // The agent instance ("focus") the job runs under; empty when none was set.
    static std::string getFocus();
    static void setFocus(const std::string& focus);
};
