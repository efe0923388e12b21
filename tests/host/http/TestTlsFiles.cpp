#include "tests/host/http/TestTlsFiles.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

void require(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    require(ext != nullptr, "extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// Self-signed when `issuer` is null.
CertPtr makeCert(EVP_PKEY* key, const char* commonName, long serial, X509* issuer, EVP_PKEY* issuerKey) {
    CertPtr cert(X509_new(), &X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                               0);
    X509* signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    if (!issuer) {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    require(X509_sign(cert.get(), issuer ? issuerKey : key, EVP_sha256()) > 0, "sign");
    return cert;
}

void writePem(const std::string& path, X509* cert, EVP_PKEY* key) {
    FILE* f = std::fopen(path.c_str(), "w");
    require(f != nullptr, "open pem");
    bool ok = cert ? PEM_write_X509(f, cert) : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
    require(ok, "write pem");
}

}  // namespace

TestTlsFiles TestTlsFiles::create(const std::vector<std::string>& dnsNames) {
    char dirTemplate[] = "/tmp/nxhttp-tls-XXXXXX";
    require(mkdtemp(dirTemplate) != nullptr, "mkdtemp");
    TestTlsFiles files;
    files.dir = dirTemplate;
    files.caCertPath = files.dir + "/ca.pem";
    files.serverCertPath = files.dir + "/server.pem";
    files.serverKeyPath = files.dir + "/server.key";

    KeyPtr caKey(EVP_EC_gen("P-256"), &EVP_PKEY_free);
    KeyPtr serverKey(EVP_EC_gen("P-256"), &EVP_PKEY_free);
    require(caKey && serverKey, "keygen");
    CertPtr ca = makeCert(caKey.get(), "Test Root CA", 1, nullptr, nullptr);

    CertPtr server = makeCert(serverKey.get(), dnsNames.at(0).c_str(), 2, ca.get(), caKey.get());
    std::string san;
    for (const std::string& name : dnsNames) san += (san.empty() ? "DNS:" : ",DNS:") + name;
    addExtension(server.get(), ca.get(), NID_subject_alt_name, san);
    addExtension(server.get(), ca.get(), NID_ext_key_usage, "serverAuth");
    require(X509_sign(server.get(), caKey.get(), EVP_sha256()) > 0, "sign server");

    writePem(files.caCertPath, ca.get(), nullptr);
    writePem(files.serverCertPath, server.get(), nullptr);
    writePem(files.serverKeyPath, nullptr, serverKey.get());
    return files;
}
