// Settings of the HTTP client, section "HttpClient" of the settings store.
// Read for every request, so a change takes effect with the next one.
#pragma once

#include <string>
#include <vector>

struct NXHttpClientSettings {
    // libcurl connect-to entries "HOST:PORT:CONNECT-TO-HOST:CONNECT-TO-PORT"
    // ("sConnectTo", ';'-separated); empty: connect where the URL says.
    std::vector<std::string> connectTo;
    // CA file to trust instead of the system store ("sCABundle"); empty: system store.
    std::string caBundle;
    // HTTP proxy every request goes through ("sProxy", "host:port" or a URL), with its basic
    // credentials ("sProxyUser", "sProxyPassword"); empty: libcurl's default (the environment's proxy, if any).
    std::string proxy;
    std::string proxyUser;
    std::string proxyPassword;
    unsigned long connectTimeoutSeconds = 30;  // "nConnectTimeoutSeconds"
    // "nLowSpeedTimeSeconds": a transfer that moves less than 1 byte/s for this long is ended.
    unsigned long lowSpeedTimeSeconds = 60;

    static NXHttpClientSettings load();
};
