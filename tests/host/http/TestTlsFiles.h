// Throwaway TLS material for tests: a CA and a server certificate it signs,
// written as PEM files into a fresh temporary folder.
#pragma once

#include <string>
#include <vector>

struct TestTlsFiles {
    std::string dir;
    std::string caCertPath;
    std::string serverCertPath;
    std::string serverKeyPath;

    // The server certificate names `dnsNames` as its subject alternative names.
    static TestTlsFiles create(const std::vector<std::string>& dnsNames);
};
