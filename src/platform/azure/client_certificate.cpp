#include "platform/azure/client_certificate.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "core/file_text.hpp"
#include "core/json.hpp"
#include "core/record.hpp"
#include "platform/azure/errors.hpp"

namespace dm::azure {

struct ClientCertificate::Keys {
    std::unique_ptr<X509, decltype(&X509_free)> certificate{nullptr, X509_free};
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, EVP_PKEY_free};
};

namespace {

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

std::string digest(const unsigned char* data, size_t size, const EVP_MD* md) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data, size, out, &length, md, nullptr) != 1)
        throw AuthenticationError("certificate digest failed");
    return std::string(reinterpret_cast<const char*>(out), length);
}

// Hands the password to OpenSSL; with none, an encrypted key fails to read instead of prompting.
int passwordCallback(char* buffer, int size, int /*rwflag*/, void* user) {
    const auto* password = static_cast<const std::optional<std::string>*>(user);
    if (!password->has_value() || static_cast<int>((*password)->size()) > size)
        return -1;
    (*password)->copy(buffer, (*password)->size());
    return static_cast<int>((*password)->size());
}

}  // namespace

std::string base64Url(const std::string& bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        for (int shift : {18, 12, 6, 0})
            out += kAlphabet[(v >> shift) & 63];
    }
    if (i < bytes.size()) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        if (i + 1 < bytes.size())
            out += kAlphabet[(v >> 6) & 63];
    }
    return out;
}

ClientCertificate ClientCertificate::fromPem(const std::string& pem,
                                             const std::optional<std::string>& password,
                                             const std::string& source) {
    auto fail = [&source](const std::string& what) -> ClientCertificate {
        throw AuthenticationError("client certificate " + source + ": " + what);
    };
    auto keys = std::make_shared<Keys>();
    {
        Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
        keys->certificate.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    }
    if (!keys->certificate)
        return fail("no PEM certificate in it");
    {
        Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
        keys->key.reset(
            PEM_read_bio_PrivateKey(bio.get(), nullptr, passwordCallback,
                                    const_cast<void*>(static_cast<const void*>(&password))));
    }
    if (!keys->key) {
        return fail(password ? "no PEM private key in it that the password opens"
                             : "no unencrypted PEM private key in it (is a password needed?)");
    }
    if (EVP_PKEY_base_id(keys->key.get()) != EVP_PKEY_RSA)
        return fail("the private key is not an RSA key");
    if (X509_check_private_key(keys->certificate.get(), keys->key.get()) != 1)
        return fail("the private key does not belong to the certificate");

    unsigned char* der = nullptr;
    const int length = i2d_X509(keys->certificate.get(), &der);
    if (length <= 0)
        return fail("the certificate cannot be encoded");
    ClientCertificate out;
    out.x5t_ = base64Url(digest(der, static_cast<size_t>(length), EVP_sha1()));
    out.x5tS256_ = base64Url(digest(der, static_cast<size_t>(length), EVP_sha256()));
    OPENSSL_free(der);
    out.keys_ = std::move(keys);
    return out;
}

ClientCertificate ClientCertificate::fromFile(const std::string& path,
                                              const std::optional<std::string>& password) {
    const auto content = readFileText(path);
    if (!content || content->empty())
        throw AuthenticationError("client certificate " + path + ": cannot be read or is empty");
    return fromPem(*content, password, path);
}

std::string ClientCertificate::assertion(const std::string& audience, const std::string& clientId,
                                         std::chrono::system_clock::time_point now,
                                         const std::string& jwtId) const {
    const long long issued =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    Record header = {{"alg", "RS256"}, {"typ", "JWT"}, {"x5t", x5t_}, {"x5t#S256", x5tS256_}};
    Record claims = {{"aud", audience},
                     {"iss", clientId},
                     {"sub", clientId},
                     {"jti", jwtId},
                     {"nbf", issued},
                     {"iat", issued},
                     {"exp", issued + kAssertionLifetime.count()}};
    const std::string signingInput = base64Url(header.dump()) + "." + base64Url(claims.dump());

    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    size_t size = 0;
    if (!context ||
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, keys_->key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &size,
                       reinterpret_cast<const unsigned char*>(signingInput.data()),
                       signingInput.size()) != 1) {
        throw AuthenticationError("signing the client assertion failed");
    }
    std::string signature(size, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(signingInput.data()),
                       signingInput.size()) != 1) {
        throw AuthenticationError("signing the client assertion failed");
    }
    signature.resize(size);
    return signingInput + "." + base64Url(signature);
}

}  // namespace dm::azure
