// TLS material of a state folder's blob endpoint, under "<state>/tls": a CA
// ("ca.pem", "ca.key") that clients trust, and a server certificate it signs
// ("server.pem", "server.key") naming the cloud's blob host names, localhost
// and 127.0.0.1. Made on first use with the OpenSSL API; the folder appears
// whole (built aside, then renamed), so concurrent first starts agree.
#pragma once

#include <string>

namespace azsim {

struct TlsMaterial {
    std::string caCertPath;
    std::string serverCertPath;
    std::string serverKeyPath;

    // Creates the material when the state folder has none. False (with `error`) on failure.
    static bool ensure(const std::string& stateDir, TlsMaterial& out, std::string* error);
};

}  // namespace azsim
