// The request handling of the blob endpoint: every request first meets the
// fault rules, then the API-version check and the credential check (bearer
// token or SAS), and only then the blob operation it names.
#pragma once

#include <httplib.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "azsim/auth/AccessAuthority.h"
#include "azsim/blob/PageBlobStore.h"
#include "azsim/endpoint/Exchange.h"
#include "azsim/endpoint/RequestLog.h"
#include "azsim/faults/FaultBook.h"
#include "azsim/model/SubscriptionState.h"

namespace azsim {

class BlobService {
public:
    explicit BlobService(const std::string& stateDir);

    void handle(const httplib::Request& req, httplib::Response& res);
    // Records a request the HTTP server refused itself, before any blob handling (an unknown method,
    // an oversized body); those answers carry no request id. Others are recorded by handle().
    void recordRefused(const httplib::Request& req, const httplib::Response& res);
    std::uint64_t requests() const { return requests_.load(); }

private:
    void serve(Exchange& ex);
    // Each returns false when the request has been answered (or dropped) already.
    bool applyFault(Exchange& ex, const std::string& resourcePath);
    bool checkVersion(Exchange& ex);
    bool checkSnapshots(Exchange& ex);
    bool authorize(Exchange& ex);
    void dispatch(Exchange& ex);

    SubscriptionState state_;
    PageBlobStore store_;
    AccessAuthority authority_;
    FaultBook faults_;
    RequestLog log_;
    std::atomic<std::uint64_t> requests_{0};
};

}  // namespace azsim
