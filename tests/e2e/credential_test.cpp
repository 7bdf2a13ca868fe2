// Every kind of Azure credential signing in to the emulator in a dry run of the demo, the
// default chain's order and its failure message, and the start-up check of the keys.
#include <httplib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "demo_fixture.hpp"
#include "support/test_certificate.hpp"

namespace {

using namespace dm::test;
namespace fs = std::filesystem;
using Env = std::map<std::string, std::string>;

const std::string kTenant = "11111111-1111-1111-1111-111111111111";
const std::string kClient = "22222222-2222-2222-2222-222222222222";
const std::string kSecretLine = "  client_secret_env: DM_AZURE_CLIENT_SECRET\n";

class Credentials : public DemoRun {
  protected:
    void SetUp() override {
        DemoRun::SetUp();
        certificate_ = dm::testing::makeTestCertificate(work_, "client", "cert-pass");
        std::ofstream(work_ / "federated-token") << "federated-token-value\n";
        // The demo's principal may also sign in with the certificate or the federated token,
        // and is the managed identity.
        Json topology = emulator_->state();
        Json& principal = topology["service_principals"][0];
        principal["certificate"] = certificate_.certificate;
        principal["federated_tokens"] = {"federated-token-value"};
        principal["managed_identity"] = true;
        principal["identity_header"] = "identity-header-value";
        emulator_->admin("POST", "/admin/topology", topology);

        // A fake Azure CLI that prints a token the emulator granted.
        fs::create_directories(work_ / "bin");
        const fs::path az = work_ / "bin/az";
        std::ofstream(az) << "#!/bin/sh\necho \"$@\" > '" << (work_ / "az-args").string()
                          << "'\ncat <<'JSON'\n{\"accessToken\": \"" << grantToken()
                          << "\", \"expiresOn\": \"2099-01-01 00:00:00.000000\", "
                             "\"tokenType\": \"Bearer\"}\nJSON\n";
        fs::permissions(az, fs::perms::owner_all);
    }

    std::string grantToken() const {
        const std::string base = emulator_->baseUrl();
        httplib::SSLClient client("127.0.0.1", std::stoi(base.substr(base.rfind(':') + 1)));
        client.set_ca_cert_path(emulator_->caFile().c_str());
        auto res = client.Post("/" + kTenant + "/oauth2/v2.0/token",
                               "grant_type=client_credentials&client_id=" + kClient +
                                   "&client_secret=demo-azure-secret&scope=https%3A%2F%2F"
                                   "management.azure.com%2F.default",
                               "application/x-www-form-urlencoded");
        return res ? Json::parse(res->body).value("access_token", "") : "";
    }

    // A dry run with the azure section's secret source replaced by `keys`.
    ProcessResult run(const std::string& keys, Env env,
                      const fs::path& source = demoSource() / "discovery.yaml.in") {
        std::string yaml = slurp(source);
        if (!keys.empty())
            yaml.replace(yaml.find(kSecretLine), kSecretLine.size(), keys);
        writeYaml(yaml);
        env["DM_CTRL_PASSWORD"] = "demo-controller-password";
        env.emplace("PATH", (work_ / "bin").string() + ":" + std::getenv("PATH"));
        return runProcess(
            DM_PROGRAM,
            {"--yaml_file", (work_ / "discovery.yaml").string(), "--dry_run", "--debug"}, env,
            work_.string());
    }

    std::string file(const std::string& name) const { return (work_ / name).string(); }

    dm::testing::TestCertificate certificate_;
};

TEST_F(Credentials, EachKindSignsIn) {
    const std::string base = emulator_->baseUrl();
    const struct {
        std::string keys;
        Env env;
    } cases[] = {
        {"  credential: client_secret\n" + kSecretLine,
         {{"DM_AZURE_CLIENT_SECRET", "demo-azure-secret"}}},
        {"  credential: client_certificate\n  client_certificate_file: " + certificate_.pemFile +
             "\n  client_certificate_password_env: DM_CERT_PASSWORD\n",
         {{"DM_CERT_PASSWORD", "cert-pass"}}},
        {"  credential: workload_identity\n  federated_token_file: " + file("federated-token") +
             "\n",
         {}},
        {"  credential: managed_identity\n  managed_identity_host: " + base + "\n", {}},
        {"  credential: managed_identity\n",
         {{"IDENTITY_ENDPOINT", base + "/msi/token"},
          {"IDENTITY_HEADER", "identity-header-value"}}},
        {"  credential: azure_cli\n", {}},
    };
    for (const auto& c : cases) {
        auto r = run(c.keys, c.env);
        EXPECT_EQ(r.exitCode, 0) << c.keys << r.out << r.err;
        for (const char* secret : {"federated-token-value", "identity-header-value", "cert-pass"})
            EXPECT_EQ(r.out.find(secret), std::string::npos) << secret << r.out;
    }
    EXPECT_EQ(slurp(work_ / "az-args"),
              "account get-access-token --resource https://management.azure.com -o json "
              "--tenant " +
                  kTenant + "\n");
}

TEST_F(Credentials, ASubscriptionOwnKindWinsOverTheDefault) {
    const std::string own =
        "    alias: spokes-east\n    credential: client_certificate\n"
        "    client_id: " +
        kClient + "\n    client_certificate_file: " + certificate_.pemFile +
        "\n    client_certificate_password_env: DM_CERT_PASSWORD\n";
    std::string yaml = slurp(demoSource() / "discovery.yaml.in");
    yaml.replace(yaml.find("    alias: spokes-east\n"), 23, own);
    yaml.replace(yaml.find(kSecretLine), kSecretLine.size(), "  credential: azure_cli\n");
    std::ofstream(work_ / "own.yaml.in") << yaml;
    auto r = run("", {{"DM_CERT_PASSWORD", "cert-pass"}}, work_ / "own.yaml.in");
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    for (const std::string& line :
         {"token for tenant " + kTenant + ", client " + kClient + " acquired",
          std::string("Azure CLI token acquired")}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    }
}

TEST_F(Credentials, DefaultChainTakesTheFirstConfiguredStep) {
    const std::string base = emulator_->baseUrl();
    const Env principal = {{"AZURE_TENANT_ID", kTenant}, {"AZURE_CLIENT_ID", kClient}};
    auto with = [&principal](Env extra, bool withPrincipal = true) {
        if (withPrincipal)
            extra.insert(principal.begin(), principal.end());
        return extra;
    };
    const struct {
        Env env;
        std::string step;
    } cases[] = {
        // Each step is configured along with every later one.
        {with({{"AZURE_CLIENT_SECRET", "demo-azure-secret"},
               {"AZURE_FEDERATED_TOKEN_FILE", file("federated-token")}}),
         "environment"},
        {with({{"AZURE_CLIENT_CERTIFICATE_PATH", certificate_.pemFile},
               {"AZURE_CLIENT_CERTIFICATE_PASSWORD", "cert-pass"}}),
         "environment"},
        {with({{"AZURE_FEDERATED_TOKEN_FILE", file("federated-token")},
               {"AZURE_POD_IDENTITY_AUTHORITY_HOST", base}}),
         "workload identity"},
        {with({{"IDENTITY_ENDPOINT", base + "/msi/token"},
               {"IDENTITY_HEADER", "identity-header-value"}},
              false),
         "managed identity"},
        {with({{"AZURE_POD_IDENTITY_AUTHORITY_HOST", base}}, false), "managed identity"},
        {with({{"AZURE_POD_IDENTITY_AUTHORITY_HOST", "https://127.0.0.1:1"}}, false), "Azure CLI"},
    };
    for (const auto& c : cases) {
        auto r = run("  credential: default\n", c.env);
        EXPECT_EQ(r.exitCode, 0) << c.step << r.out << r.err;
        EXPECT_NE(r.out.find("the default Azure credential chain uses " + c.step + "\n"),
                  std::string::npos)
            << c.step << r.out;
    }
}

TEST_F(Credentials, DefaultChainFailureSaysWhatEachStepTried) {
    const std::string noMetadata = "https://127.0.0.1:1";
    auto r = run("  credential: default\n",
                 {{"AZURE_POD_IDENTITY_AUTHORITY_HOST", noMetadata}, {"PATH", file("none")}});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    for (const std::string& line : std::vector<std::string>{
             "**Error** the default Azure credential chain gave no token: environment: not "
             "configured: AZURE_TENANT_ID and AZURE_CLIENT_ID are not set; ",
             "; workload identity: not configured: AZURE_FEDERATED_TOKEN_FILE, AZURE_TENANT_ID and "
             "AZURE_CLIENT_ID are not set; ",
             "; managed identity: unavailable: no answer: GET " + noMetadata +
                 "/metadata/identity/oauth2/token failed: ",
             "; Azure CLI: unavailable: az was not found on PATH\n"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    }

    // A configured step that is refused ends the chain; its secret never shows.
    r = run("  credential: default\n", {{"AZURE_TENANT_ID", kTenant},
                                        {"AZURE_CLIENT_ID", kClient},
                                        {"AZURE_CLIENT_SECRET", "wrong-secret-value"}});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    for (const std::string& line : std::vector<std::string>{
             "gave no token: environment: failed: Token request for tenant " + kTenant +
                 ", client " + kClient + " failed: invalid_client: AADSTS7000215",
             "; workload identity: not tried; managed identity: not tried; Azure CLI: not "
             "tried\n"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    }
    EXPECT_EQ(r.out.find("wrong-secret-value"), std::string::npos) << r.out;
}

TEST_F(Credentials, StartupRefusesUnknownKindsAndMissingKeys) {
    const struct {
        std::string keys;
        std::string line;
    } cases[] = {
        {"  credential: kerberos\n",
         "azure.credential: expected one of client_secret, client_certificate, "
         "workload_identity, managed_identity, azure_cli, default, found the string "
         "\"kerberos\""},
        {"  credential: client_certificate\n",
         "azure.client_certificate_file: missing, expected a string"},
        {"  credential: client_secret\n",
         "azure.client_secret_env: missing, expected a string (or client_secret_file)"},
        {"  credential: client_certificate\n  client_certificate_file: " + file("none.pem") + "\n",
         "client certificate " + file("none.pem") + ": cannot be read or is empty"},
    };
    for (const auto& c : cases) {
        auto r = run(c.keys, {});
        EXPECT_EQ(r.exitCode, 1) << c.keys << r.out;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << c.line << "\n" << r.out;
    }
}

}  // namespace
