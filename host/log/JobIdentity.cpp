#include "host/log/JobIdentity.h"

#include <atomic>
#include <mutex>

namespace {
std::atomic<NXJobID> g_jobId{0};
std::mutex g_focusMutex;
std::string g_focus;
std::mutex g_guidMutex;
std::string g_jobGuid;
}  // namespace

NXJobID EvEvent::getJobId() { return g_jobId.load(); }
void EvEvent::setJobId(NXJobID id) { g_jobId.store(id); }

std::string EvEvent::getJobGuid() {
    std::lock_guard<std::mutex> lock(g_guidMutex);
    return g_jobGuid;
}

void EvEvent::setJobGuid(const std::string& guid) {
    std::lock_guard<std::mutex> lock(g_guidMutex);
    g_jobGuid = guid;
}

std::string NXPI_Focus::getFocus() {
    std::lock_guard<std::mutex> lock(g_focusMutex);
    return g_focus;
}

void NXPI_Focus::setFocus(const std::string& focus) {
    std::lock_guard<std::mutex> lock(g_focusMutex);
    g_focus = focus;
}
