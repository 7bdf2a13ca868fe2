#pragma once
// The check of a certificate-signed client assertion (an RS256 JWT) as the token endpoint makes
// it, with OpenSSL.

#include <chrono>
#include <optional>
#include <string>

namespace dm::emu {

// True when `pem` holds a PEM certificate.
bool isPemCertificate(const std::string& pem);

// Why `jwt` is not a valid assertion of `clientId` for `audience`, signed with the private key
// of the certificate in `pem` and naming that certificate's SHA-1 thumbprint in its "x5t"
// header; nullopt when it is valid at `now`.
std::optional<std::string> assertionProblem(const std::string& jwt, const std::string& pem,
                                            const std::string& clientId,
                                            const std::string& audience,
                                            std::chrono::system_clock::time_point now);

}  // namespace dm::emu
