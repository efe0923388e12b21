#include "host/log/JobIdentity.h"

#include <atomic>
#include <mutex>

namespace {
std::atomic<NXJobID> g_jobId{0};
std::mutex g_focusMutex;
std::string g_focus;
}  // namespace

NXJobID EvEvent::getJobId() { return g_jobId.load(); }
void EvEvent::setJobId(NXJobID id) { g_jobId.store(id); }

std::string NXPI_Focus::getFocus() {
    std::lock_guard<std::mutex> lock(g_focusMutex);
    return g_focus;
}

void NXPI_Focus::setFocus(const std::string& focus) {
    std::lock_guard<std::mutex> lock(g_focusMutex);
    g_focus = focus;
}
