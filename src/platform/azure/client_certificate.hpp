#pragma once
// A service principal's client certificate (PEM: certificate and RSA private key) and the signed
// JWT client assertion that proves it to the token endpoint.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace dm::azure {

class ClientCertificate {
  public:
    // Reads the certificate and the private key from PEM text; `password` decrypts an encrypted
    // key. Throws AuthenticationError naming `source` (a file name) when either is missing or
    // unreadable, or the key is not an RSA key or does not belong to the certificate.
    static ClientCertificate fromPem(const std::string& pem,
                                     const std::optional<std::string>& password,
                                     const std::string& source);
    // The same, from a file.
    static ClientCertificate fromFile(const std::string& path,
                                      const std::optional<std::string>& password);

    // base64url (no padding) of the SHA-1 and SHA-256 digests of the DER certificate: the JWT
    // header's "x5t" and "x5t#S256".
    const std::string& thumbprintSha1() const { return x5t_; }
    const std::string& thumbprintSha256() const { return x5tS256_; }

    // An RS256 JWT for `audience` (the tenant's token URL), issued by and about `clientId`,
    // valid from `now` for ten minutes, with the unique id `jwtId`.
    std::string assertion(const std::string& audience, const std::string& clientId,
                          std::chrono::system_clock::time_point now,
                          const std::string& jwtId) const;

    static constexpr std::chrono::seconds kAssertionLifetime{600};

  private:
    struct Keys;
    std::shared_ptr<const Keys> keys_;
    std::string x5t_;
    std::string x5tS256_;
};

// base64url without padding, as JWTs write their parts.
std::string base64Url(const std::string& bytes);

}  // namespace dm::azure
