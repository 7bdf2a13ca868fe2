#include "client_assertion.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

#include <nlohmann/json.hpp>

#include "core/text.hpp"

namespace dm::emu {
namespace {

using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

Certificate readCertificate(const std::string& pem) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    return Certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr,
                       X509_free);
}

std::optional<std::string> base64UrlDecode(std::string text) {
    for (char& c : text) {
        if (c == '-')
            c = '+';
        else if (c == '_')
            c = '/';
        else if (c == '=' || c == '+' || c == '/')
            return std::nullopt;  // JWT parts are unpadded base64url
    }
    const size_t pad = (4 - text.size() % 4) % 4;
    if (pad == 3)
        return std::nullopt;
    text.append(pad, '=');
    std::string out(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0)
        return std::nullopt;
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

std::string base64Url(const unsigned char* data, size_t size) {
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
    out.resize(static_cast<size_t>(n));
    while (!out.empty() && out.back() == '=')
        out.pop_back();
    for (char& c : out) {
        if (c == '+')
            c = '-';
        else if (c == '/')
            c = '_';
    }
    return out;
}

}  // namespace

bool isPemCertificate(const std::string& pem) {
    return readCertificate(pem) != nullptr;
}

std::optional<std::string> assertionProblem(const std::string& jwt, const std::string& pem,
                                            const std::string& clientId,
                                            const std::string& audience,
                                            std::chrono::system_clock::time_point now) {
    const auto parts = dm::text::split(jwt, '.');
    if (parts.size() != 3)
        return "the client assertion is not a signed JWT";
    const auto headerText = base64UrlDecode(parts[0]);
    const auto claimsText = base64UrlDecode(parts[1]);
    const auto signature = base64UrlDecode(parts[2]);
    if (!headerText || !claimsText || !signature)
        return "the client assertion is not base64url encoded";
    const auto header = nlohmann::json::parse(*headerText, nullptr, false);
    const auto claims = nlohmann::json::parse(*claimsText, nullptr, false);
    if (!header.is_object() || !claims.is_object())
        return "the client assertion's header or claims are not JSON objects";
    if (header.value("alg", "") != "RS256")
        return "the client assertion is not signed with RS256";

    Certificate certificate = readCertificate(pem);
    if (!certificate)
        return "no certificate is registered for the application";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate.get(), EVP_sha1(), digest, &length) != 1 ||
        header.value("x5t", "") != base64Url(digest, length)) {
        return "the client assertion's x5t does not name a certificate registered for the "
               "application";
    }
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(X509_get_pubkey(certificate.get()),
                                                            EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    const std::string signedPart = parts[0] + "." + parts[1];
    if (!key || !context ||
        EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature->data()),
                         signature->size(),
                         reinterpret_cast<const unsigned char*>(signedPart.data()),
                         signedPart.size()) != 1) {
        return "the client assertion failed signature validation";
    }
    if (claims.value("iss", "") != clientId || claims.value("sub", "") != clientId)
        return "the client assertion's iss and sub are not the client id " + clientId;
    if (!dm::text::iequals(claims.value("aud", ""), audience))
        return "the client assertion's audience is not " + audience;
    const long long seconds =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    const auto exp = claims.find("exp");
    const auto nbf = claims.find("nbf");
    if (exp == claims.end() || !exp->is_number_integer() || exp->get<long long>() <= seconds ||
        (nbf != claims.end() &&
         (!nbf->is_number_integer() || nbf->get<long long>() > seconds + 300)))
        return "the client assertion is not within its valid time range";
    if (claims.value("jti", "").empty())
        return "the client assertion has no jti";
    return std::nullopt;
}

}  // namespace dm::emu
