#include "azsim/endpoint/TlsMaterial.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <fcntl.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>

namespace fs = std::filesystem;

namespace azsim {

namespace {

const char* const kServerNames =
    "DNS:*.blob.core.windows.net,DNS:*.blob.core.chinacloudapi.cn,DNS:*.blob.core.usgovcloudapi.net,"
    "DNS:*.blob.core.cloudapi.de,DNS:*.z1.blob.storage.azure.net,DNS:management.azure.com,"
    "DNS:login.microsoftonline.com,DNS:management.chinacloudapi.cn,DNS:login.chinacloudapi.cn,"
    "DNS:management.usgovcloudapi.net,DNS:login.microsoftonline.us,DNS:*.local.azurestack.external,"
    "DNS:management.localhost,DNS:adfs.localhost,DNS:login.localhost,DNS:localhost,IP:127.0.0.1";
// A name the server certificate of the current material covers and earlier material did not.
const char* const kManagementHost = "management.localhost";
constexpr long kDay = 24L * 3600;

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("TLS material: ") + what + " failed");
}

Key newKey() {
    Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    check(key != nullptr, "key generation");
    return key;
}

void addExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
    check(ext != nullptr, "certificate extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// A certificate for `key` named `commonName`, signed by `issuer`/`issuerKey` (itself when null).
Cert newCertificate(EVP_PKEY* key, const char* commonName, long days, X509* issuer, EVP_PKEY* issuerKey) {
    Cert cert(X509_new(), X509_free);
    check(cert != nullptr, "certificate allocation");
    X509_set_version(cert.get(), 2);
    std::unique_ptr<BIGNUM, decltype(&BN_free)> serial(BN_new(), BN_free);
    check(serial && BN_rand(serial.get(), 120, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
              BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) != nullptr,
          "serial number");
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kDay);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * kDay);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Simulated cloud"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));

    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, signer, cert.get(), nullptr, nullptr, 0);
    addExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash");
    if (issuer) {
        addExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always");
        addExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), &ctx, NID_key_usage, "critical,digitalSignature,keyEncipherment");
        addExtension(cert.get(), &ctx, NID_ext_key_usage, "serverAuth");
        addExtension(cert.get(), &ctx, NID_subject_alt_name, kServerNames);
    } else {
        addExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    check(X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) > 0, "signing");
    return cert;
}

void writePem(const fs::path& path, X509* cert, EVP_PKEY* key) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, key ? 0600 : 0644);
    FILE* f = fd < 0 ? nullptr : fdopen(fd, "w");
    check(f != nullptr, "file creation");
    bool ok =
        cert ? PEM_write_X509(f, cert) == 1 : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    check(fclose(f) == 0 && ok, "PEM writing");
}

void create(const fs::path& dir) {
    Key caKey = newKey();
    Cert ca = newCertificate(caKey.get(), "Simulated cloud root CA", 3650, nullptr, nullptr);
    Key serverKey = newKey();
    Cert server = newCertificate(serverKey.get(), "*.blob.core.windows.net", 825, ca.get(), caKey.get());
    writePem(dir / "ca.pem", ca.get(), nullptr);
    writePem(dir / "ca.key", nullptr, caKey.get());
    writePem(dir / "server.pem", server.get(), nullptr);
    writePem(dir / "server.key", nullptr, serverKey.get());
}

// True when the server certificate at `path` is valid for the management host.
bool coversManagement(const std::string& path) {
    std::unique_ptr<FILE, decltype(&fclose)> file(fopen(path.c_str(), "r"), fclose);
    if (!file) return false;
    Cert cert(PEM_read_X509(file.get(), nullptr, nullptr, nullptr), X509_free);
    return cert && X509_check_host(cert.get(), kManagementHost, 0, 0, nullptr) == 1;
}

}  // namespace

bool TlsMaterial::ensure(const std::string& stateDir, TlsMaterial& out, std::string* error) {
    fs::path dir = fs::path(stateDir) / "tls";
    out.caCertPath = (dir / "ca.pem").string();
    out.serverCertPath = (dir / "server.pem").string();
    out.serverKeyPath = (dir / "server.key").string();
    std::error_code ec;
    if (fs::exists(out.serverKeyPath, ec)) {
        if (coversManagement(out.serverCertPath)) return true;
        // Material made for the blob hosts alone is set aside and made anew for every host served.
        const fs::path retired = fs::path(stateDir) / "tls.retired";
        fs::remove_all(retired, ec);
        fs::rename(dir, retired, ec);
    }

    fs::create_directories(stateDir, ec);
    std::string pattern = (fs::path(stateDir) / "tls.new.XXXXXX").string();
    if (!mkdtemp(&pattern[0])) {
        if (error) *error = "cannot create a folder in [" + stateDir + "]";
        return false;
    }
    try {
        // Readable like any CA bundle; the keys inside are private to the owner.
        fs::permissions(pattern, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
        create(pattern);
    } catch (const std::exception& e) {
        fs::remove_all(pattern, ec);
        if (error) *error = e.what();
        return false;
    }
    // Another process that got there first wins; its material is as good as ours.
    fs::rename(pattern, dir, ec);
    if (ec) fs::remove_all(pattern, ec);
    if (!fs::exists(out.serverKeyPath, ec)) {
        if (error) *error = "TLS material in [" + dir.string() + "] is incomplete";
        return false;
    }
    return true;
}

}  // namespace azsim
