// The client certificate's JWT assertion, checked by the emulator's verifier: the signature
// with the certificate's public key, x5t, audience, subject and lifetime.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "client_assertion.hpp"
#include "platform/azure/client_certificate.hpp"
#include "platform/azure/errors.hpp"
#include "support/scoped.hpp"
#include "support/test_certificate.hpp"

namespace {

using dm::azure::ClientCertificate;
using namespace std::chrono_literals;

TEST(ClientAssertionTest, VerifiesOnlyWithTheCertificateAndItsClaims) {
    dm::testing::TempDir dir;
    const auto mine = dm::testing::makeTestCertificate(dir.path(), "mine", "pw");
    const auto other = dm::testing::makeTestCertificate(dir.path(), "other");
    const auto certificate = ClientCertificate::fromFile(mine.pemFile, "pw");
    const std::string aud = "https://login.example/tenant-1/oauth2/v2.0/token";
    const auto now = std::chrono::system_clock::now();
    const std::string jwt = certificate.assertion(aud, "app-1", now, "jti-1");
    std::string tampered = jwt;
    tampered[jwt.rfind('.') + 5] = tampered[jwt.rfind('.') + 5] == 'A' ? 'B' : 'A';

    const struct {
        std::string jwt, pem, client, audience;
        std::chrono::system_clock::time_point at;
        std::string problem;  // empty: valid
    } cases[] = {
        {jwt, mine.certificate, "app-1", aud, now, ""},
        {jwt, mine.certificate, "app-1", aud, now + 9min, ""},
        {jwt, mine.certificate, "app-1", aud, now + 11min, "valid time range"},
        {jwt, mine.certificate, "app-2", aud, now, "iss and sub"},
        {jwt, mine.certificate, "app-1", aud + "x", now, "audience"},
        {jwt, other.certificate, "app-1", aud, now, "x5t"},
        {tampered, mine.certificate, "app-1", aud, now, "signature"},
    };
    // The thumbprints as the openssl command computes them from the certificate.
    auto fingerprint = [&dir](const std::string& digest) {
        const std::string out = (dir.path() / "fingerprint").string();
        const std::string command = "openssl x509 -in '" + (dir.path() / "mine.crt").string() +
                                    "' -noout -fingerprint -" + digest + " > '" + out + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        std::string text = dm::testing::readFile(out), bytes;
        for (size_t i = text.find('=') + 1; i + 1 < text.size(); i += 3)
            bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
        return dm::azure::base64Url(bytes);
    };
    EXPECT_EQ(certificate.thumbprintSha1(), fingerprint("sha1"));
    EXPECT_EQ(certificate.thumbprintSha256(), fingerprint("sha256"));

    for (const auto& c : cases) {
        auto problem = dm::emu::assertionProblem(c.jwt, c.pem, c.client, c.audience, c.at);
        if (c.problem.empty()) {
            EXPECT_FALSE(problem) << *problem;
        } else {
            ASSERT_TRUE(problem) << c.problem;
            EXPECT_NE(problem->find(c.problem), std::string::npos) << *problem;
        }
    }
}

TEST(ClientAssertionTest, UnreadableMaterialNamesTheFile) {
    dm::testing::TempDir dir;
    const auto encrypted = dm::testing::makeTestCertificate(dir.path(), "enc", "pw");
    const struct {
        std::string file;
        std::optional<std::string> password;
        std::string why;
    } cases[] = {
        {encrypted.pemFile, std::nullopt, "is a password needed?"},
        {encrypted.pemFile, "wrong", "that the password opens"},
        {dir.path() / "enc.key", "pw", "no PEM certificate"},
        {dir.path() / "none.pem", std::nullopt, "cannot be read"},
    };
    for (const auto& c : cases) {
        try {
            ClientCertificate::fromFile(c.file, c.password);
            ADD_FAILURE() << c.file;
        } catch (const dm::azure::AuthenticationError& e) {
            EXPECT_NE(std::string(e.what()).find("client certificate " + c.file + ": "),
                      std::string::npos);
            EXPECT_NE(std::string(e.what()).find(c.why), std::string::npos) << e.what();
        }
    }
}

}  // namespace
