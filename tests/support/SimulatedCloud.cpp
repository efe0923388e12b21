#include "tests/support/SimulatedCloud.h"

#include <cstdio>

#include <stdlib.h>

#include <filesystem>

#include "azsim/Journal.h"
#include "azsim/StateFolder.h"
#include "azsim/endpoint/BlobEndpoint.h"
#include "azsim/scenarios/Scenario.h"
#include "host/log/EvDebug.h"
#include "host/settings/NXPlatformInfo.h"

namespace testsupport {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vsa-test-XXXXXX").string();
    if (!mkdtemp(&pattern[0])) throw std::runtime_error("cannot create a temporary folder");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

SimulatedCloud::SimulatedCloud(Seed seed) : endpoint_(new azsim::BlobEndpoint(dir())) {
    NXPlatformInfo::setValue("CloudSdk", "sStateFolder", dir());
    std::string error;
    if (!endpoint_->start(&error)) throw std::runtime_error("the endpoint did not start: " + error);
    NXPlatformInfo::setValue("HttpClient", "sConnectTo", endpoint_->connectToEntry());
    NXPlatformInfo::setValue("HttpClient", "sCABundle", endpoint_->caBundlePath());
    if (seed == Seed::Demo) {
        azsim::InitState(dir(), azsim::DemoScenario());
        return;
    }
    nlohmann::json state = {
        {"subscriptions",
         {{{"id", kSubscriptionId},
           {"name", "Test subscription"},
           {"tenantId", "72f988bf-86f1-41af-91ab-2d7cd011db47"},
           {"applicationId", kApplicationId},
           {"secret", kSecret}}}}};
    azsim::StateFolder(dir()).save(state);
}

int SimulatedCloud::port() const { return endpoint_->port(); }

SimulatedCloud::~SimulatedCloud() {
    NXPlatformInfo::removeValue("HttpClient", "sConnectTo");
    NXPlatformInfo::removeValue("HttpClient", "sCABundle");
    NXPlatformInfo::removeValue("CloudSdk", "sStateFolder");
    endpoint_->stop();
}

std::vector<nlohmann::json> SimulatedCloud::journal(const std::string& operation) const {
    return azsim::Journal(dir()).entries(operation);
}

std::string JobGuidOf(NXJobID jobId) {
    char guid[40];
    std::snprintf(guid, sizeof(guid), "00000000-0000-4000-8000-%012lld", jobId % 1000000000000LL);
    return guid;
}

JobIdentityScope::JobIdentityScope(const std::string& applicationName, const std::string& focus, NXJobID jobId)
    : applicationName_(EvDebug::getApplicationName()),
      focus_(NXPI_Focus::getFocus()),
      jobId_(EvEvent::getJobId()),
      jobGuid_(EvEvent::getJobGuid()) {
    EvDebug::setApplicationName(applicationName);
    NXPI_Focus::setFocus(focus);
    EvEvent::setJobId(jobId);
    EvEvent::setJobGuid(JobGuidOf(jobId));
}

JobIdentityScope::~JobIdentityScope() {
    EvDebug::setApplicationName(applicationName_);
    NXPI_Focus::setFocus(focus_);
    EvEvent::setJobId(jobId_);
    EvEvent::setJobGuid(jobGuid_);
}

}  // namespace testsupport
