// The Azure CLI credential against fake az programs: the token and its expiry, and each way
// the CLI can fail to give one.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/azure/errors.hpp"
#include "platform/azure/identity.hpp"
#include "support/scoped.hpp"

namespace {

using namespace dm::azure;

TEST(AzureCliCredentialTest, TokenOrTheReasonThereIsNone) {
    dm::testing::TempDir dir;
    const struct {
        std::string script;  // empty: no such program
        std::string error;   // empty: a token "t-1" that expires at 4102444800
        bool unavailable;
    } cases[] = {
        {"echo '{\"accessToken\": \"t-1\", \"expires_on\": 4102444800}'", "", false},
        {"echo \"ERROR: Please run 'az login' to setup account.\" >&2; exit 1",
         "not logged in: ERROR: Please run 'az login' to setup account.", true},
        {"echo 'ERROR: tenant not found' >&2; exit 1", "failed: ERROR: tenant not found", false},
        {"exec sleep 5", "gave no answer within 300 ms", true},
        {"echo 'not json'", "printed no accessToken and expiresOn", false},
        {"", "was not found on PATH", true},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string program = dir.file("az" + std::to_string(index++));
        if (!c.script.empty()) {
            std::ofstream(program) << "#!/bin/sh\n" << c.script << "\n";
            std::filesystem::permissions(program, std::filesystem::perms::owner_all);
        }
        AzureCliCredentialOptions options;
        options.program = program;
        options.timeout = std::chrono::milliseconds(300);
        auto credential = makeAzureCliCredential(options);
        try {
            auto token = credential->getToken("https://management.azure.com/.default");
            EXPECT_TRUE(c.error.empty()) << c.script;
            EXPECT_EQ(token.token, "t-1");
            EXPECT_EQ(std::chrono::system_clock::to_time_t(token.expiresOn), 4102444800);
        } catch (const AuthenticationError& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos)
                << c.script << ": " << e.what();
            EXPECT_EQ(dynamic_cast<const CredentialUnavailableError*>(&e) != nullptr, c.unavailable)
                << c.script;
        }
    }
}

}  // namespace
