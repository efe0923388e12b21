// TLS material of a state folder's blob endpoint, under "<state>/tls": a CA
// ("ca.pem", "ca.key") that clients trust, and a server certificate it signs
// ("server.pem", "server.key") naming the cloud's blob, management and
// identity host names, the loopback cloud's ("management.localhost",
// "adfs.localhost", "login.localhost"), localhost and 127.0.0.1. Made on first use with the
// OpenSSL API; the folder appears whole (built aside, then renamed), so
// concurrent first starts agree. Material whose server certificate does not
// name every management host (made before that host was served) is set
// aside as "tls.retired" and made anew.
#pragma once

#include <string>

namespace azsim {

struct TlsMaterial {
    std::string caCertPath;
    std::string serverCertPath;
    std::string serverKeyPath;

    // Creates the material when the state folder has none, or none for every host served. False (with
    // `error`) on failure.
    static bool ensure(const std::string& stateDir, TlsMaterial& out, std::string* error);
};

}  // namespace azsim
