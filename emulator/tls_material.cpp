#include "tls_material.hpp"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include "core/error.hpp"

namespace dm::emu {
namespace {

void check(bool ok, const char* step) {
    if (!ok) {
        throw dm::Error(std::string("emulator TLS setup failed at ") + step);
    }
}

PkeyPtr makeKey() {
    // P-256 keys take milliseconds to make, RSA keys noticeably longer; every client we serve
    // speaks ECDSA.
    PkeyPtr key(EVP_EC_gen("P-256"));
    check(key != nullptr, "EVP_EC_gen");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    check(ext != nullptr, "X509V3_EXT_conf_nid");
    const bool added = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    check(added, "X509_add_ext");
}

X509Ptr makeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey) {
    X509Ptr cert(X509_new());
    check(cert != nullptr, "X509_new");
    check(X509_set_version(cert.get(), 2) == 1, "X509_set_version");

    unsigned char serial[16];
    check(RAND_bytes(serial, sizeof serial) == 1, "RAND_bytes");
    serial[0] &= 0x7f;  // serials must be positive
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    check(bn != nullptr, "BN_bin2bn");
    const bool serialSet = BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr;
    BN_free(bn);
    check(serialSet, "BN_to_ASN1_INTEGER");

    // A little slack backwards covers clocks that disagree by a few seconds.
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 24 * 3600);
    check(X509_set_pubkey(cert.get(), key) == 1, "X509_set_pubkey");

    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("dm cloud emulator"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : cert.get();
    check(X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) == 1,
          "X509_set_issuer_name");

    addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (issuer == nullptr) {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
        addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
        addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        addExtension(cert.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    }
    check(X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) > 0,
          "X509_sign");
    return cert;
}

template <typename Write>
std::string toPem(Write write) {
    BIO* bio = BIO_new(BIO_s_mem());
    check(bio != nullptr, "BIO_new");
    const bool ok = write(bio) == 1;
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string pem = ok && size > 0 ? std::string(data, static_cast<size_t>(size)) : "";
    BIO_free(bio);
    check(ok, "PEM_write");
    return pem;
}

}  // namespace

TlsMaterial makeTlsMaterial() {
    TlsMaterial m;
    m.caKey = makeKey();
    m.caCert = makeCertificate(m.caKey.get(), "dm cloud emulator CA", nullptr, nullptr);
    m.serverKey = makeKey();
    m.serverCert = makeCertificate(m.serverKey.get(), "127.0.0.1", m.caCert.get(), m.caKey.get());
    return m;
}

std::string certificatePem(X509* cert) {
    return toPem([cert](BIO* bio) { return PEM_write_bio_X509(bio, cert); });
}

std::string privateKeyPem(EVP_PKEY* key) {
    return toPem([key](BIO* bio) {
        return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    });
}

}  // namespace dm::emu
