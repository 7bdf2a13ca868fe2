#pragma once
// The emulator's own certificate authority and the loopback server certificate it signs, made
// fresh at every start so that clients verify peers against a CA file instead of turning
// verification off.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace dm::emu {

struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

struct TlsMaterial {
    X509Ptr caCert;
    PkeyPtr caKey;
    X509Ptr serverCert;  // subjectAltName IP 127.0.0.1, DNS localhost; signed by caCert
    PkeyPtr serverKey;
};

// Generates a CA and a server certificate valid for ten days; throws dm::Error naming the
// OpenSSL step that failed.
TlsMaterial makeTlsMaterial();

// PEM text of a certificate or of a private key.
std::string certificatePem(X509* cert);
std::string privateKeyPem(EVP_PKEY* key);

}  // namespace dm::emu
