#include "services/common/yaml_context.hpp"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>

#include "core/error.hpp"
#include "platform/azure/errors.hpp"
#include "platform/azure/identity.hpp"
#include "platform/azure/pipeline.hpp"
#include "platform/http/curl_transport.hpp"
#include "services/common/common.hpp"
#include "services/common/config_check.hpp"
#include "services/common/options_table.hpp"
#include "services/common/secret_source.hpp"

namespace dm {

namespace {

const Record& azureSection(const Record& doc) {
    static const Record none = Record::object();
    const Record* found = doc.is_object() ? config::find(doc, "azure", "") : nullptr;
    if (!found)
        return none;
    config::expectMap(*found, "azure");
    return *found;
}

std::string readSecret(const std::string& subId, const Record& principal, const std::string& path) {
    auto envName = config::optString(principal, "client_secret_env", path);
    auto file = config::optString(principal, "client_secret_file", path);
    if (envName) {
        if (auto secret = secret::fromEnv(*envName))
            return *secret;
    }
    if (file) {
        try {
            return secret::fromFile(*file, "client secret");
        } catch (const ConfigError& e) {
            throw ConfigError("subscription " + subId + ": no client secret: " + e.what());
        }
    }
    if (envName) {
        throw ConfigError("subscription " + subId + ": no client secret: environment variable " +
                          *envName + " is not set");
    }
    throw ConfigError("subscription " + subId +
                      ": no client secret: name client_secret_env or client_secret_file in " +
                      path);
}

// The client certificate's password: from the variable when named and set, else the file.
std::optional<std::string> readCertificatePassword(const std::string& subId, const Record& source,
                                                   const std::string& path) {
    if (auto envName = config::optString(source, "client_certificate_password_env", path)) {
        if (auto password = secret::fromEnv(*envName))
            return password;
    }
    if (auto file = config::optString(source, "client_certificate_password_file", path)) {
        try {
            return secret::fromFile(*file, "client certificate password");
        } catch (const ConfigError& e) {
            throw ConfigError("subscription " + subId + ": " + e.what());
        }
    }
    return std::nullopt;
}

// Runs without an override use the pool's transport; its retries would keep a host without
// the metadata service waiting, so managed identity in the chain gets one try with a short
// connect timeout.
std::shared_ptr<http::Transport> probeTransport(RunContext& run, const azure::AzureCloud& cloud) {
    if (run.azureTransportOverride)
        return run.guarded(run.azureTransportOverride, azure::isReadOnlyRequest);
    http::CurlTransportOptions options;
    options.caBundle = cloud.caBundle;
    options.connectTimeout = std::chrono::milliseconds(1'000);
    options.totalTimeout = std::chrono::milliseconds(10'000);
    return run.guarded(http::makeCurlTransport(options), azure::isReadOnlyRequest);
}

}  // namespace

AzureCredential::AzureCredential(std::string subscriptionId, std::string tenantId,
                                 std::string clientId, std::string clientSecret,
                                 azure::AzureCloud cloud,
                                 std::shared_ptr<http::Transport> transport)
    : subscriptionId_(std::move(subscriptionId)),
      cloud_(std::move(cloud)),
      transport_(std::move(transport)) {
    spec_.tenantId = std::move(tenantId);
    spec_.clientId = std::move(clientId);
    spec_.clientSecret = std::move(clientSecret);
}

AzureCredential::AzureCredential(std::string subscriptionId, CredentialSpec spec,
                                 azure::AzureCloud cloud,
                                 std::shared_ptr<http::Transport> transport)
    : subscriptionId_(std::move(subscriptionId)),
      spec_(std::move(spec)),
      cloud_(std::move(cloud)),
      transport_(std::move(transport)) {}

std::shared_ptr<azure::TokenCredential> AzureCredential::getCSC() const {
    const std::string principal =
        cloud_.name + "|" + cloud_.authorityHost + "|" + spec_.tenantId + "|" + spec_.clientId;
    std::string key = principal;
    if (spec_.kind == "client_certificate")
        key = "certificate|" + principal + "|" + spec_.certificate->thumbprintSha1();
    else if (spec_.kind == "workload_identity")
        key = "workload|" + principal + "|" + spec_.federatedTokenFile;
    else if (spec_.kind == "managed_identity")
        key = "managed|" + cloud_.name + "|" + spec_.clientId + "|" + spec_.metadataHost;
    else if (spec_.kind == "azure_cli")
        key = "cli|" + cloud_.name + "|" + spec_.tenantId;
    else if (spec_.kind == "default")
        key = "default|" + cloud_.name + "|" + cloud_.authorityHost;

    RunContext& run = currentRun();
    auto& cache = run.tokenCredentials;
    auto it = cache.find(key);
    if (it != cache.end())
        return it->second;

    azure::CredentialSettings settings;
    settings.cloud = cloud_;
    settings.transport = transport_;
    settings.clock = run.clock;
    // Tokens, assertions and identity headers join the run's secrets as they come, so that no
    // echo of one reaches the log.
    settings.onToken = [secrets = run.secrets](const std::string& token) { secrets->add(token); };

    std::shared_ptr<azure::TokenCredential> credential;
    if (spec_.kind == "client_certificate" || spec_.kind == "workload_identity") {
        azure::ClientAssertionCredentialOptions options;
        static_cast<azure::CredentialSettings&>(options) = settings;
        options.tenantId = spec_.tenantId;
        options.clientId = spec_.clientId;
        options.certificate = spec_.certificate;
        options.federatedTokenFile = spec_.federatedTokenFile;
        credential = azure::makeClientAssertionCredential(std::move(options));
    } else if (spec_.kind == "managed_identity") {
        credential = azure::makeManagedIdentityCredential(azure::managedIdentityOptions(
            settings,
            spec_.clientId.empty() ? std::nullopt : std::optional<std::string>(spec_.clientId),
            spec_.metadataHost));
    } else if (spec_.kind == "azure_cli") {
        azure::AzureCliCredentialOptions options;
        static_cast<azure::CredentialSettings&>(options) = settings;
        if (!spec_.tenantId.empty())
            options.tenantId = spec_.tenantId;
        credential = azure::makeAzureCliCredential(std::move(options));
    } else if (spec_.kind == "default") {
        azure::DefaultCredentialOptions options;
        static_cast<azure::CredentialSettings&>(options) = settings;
        options.metadataHost = spec_.metadataHost;
        options.probeTransport = probeTransport(run, cloud_);
        credential = azure::makeDefaultCredential(std::move(options));
    } else {
        azure::ClientSecretCredentialOptions options;
        static_cast<azure::CredentialSettings&>(options) = settings;
        options.tenantId = spec_.tenantId;
        options.clientId = spec_.clientId;
        options.clientSecret = spec_.clientSecret;
        credential = azure::makeClientSecretCredential(std::move(options));
    }
    cache.emplace(key, credential);
    return credential;
}

std::shared_ptr<azure::TokenCredential> AzureCredential::getSPC() const {
    return getCSC();
}

void YamlContext::setDryRun() {
    run_.dryRun.activate();
}
bool YamlContext::isDryRun() const {
    return run_.dryRun.active();
}

void YamlContext::setSubscriptionMap(const Record& subscriptionMap) {
    run_.subscriptionMap = subscriptionMap;
}
const Record& YamlContext::getSubscriptionMap() const {
    return run_.subscriptionMap;
}

void YamlContext::setGlobalContext(const Record& doc) {
    // The run's document; set again only by callers that hold another one (tests).
    if (&doc != &run_.document)
        run_.document = doc;
}
const Record& YamlContext::getDocument() const {
    return run_.document;
}

Record YamlContext::getGlobalContext(const std::string& key) const {
    const Record& doc = run_.document;
    if (auto sw = lookup(doc, "switch_traffic")) {
        if (auto value = lookup(*sw, key); value && !value->is_null())
            return *value;
    }
    if (const auto* option = options::byYamlKey(key); option && option->defaultValue) {
        return *option->defaultValue;
    }
    return nullptr;
}

azure::AzureCloud YamlContext::getCloud() const {
    const Record& azure = azureSection(run_.document);
    std::string name = config::optString(azure, "cloud", "azure").value_or("public");
    azure::AzureCloud cloud;
    if (name == "public") {
        cloud = azure::AzureCloud::publicCloud();
    } else if (name == "china") {
        cloud = azure::AzureCloud::chinaCloud();
    } else if (name == "usgovernment") {
        cloud = azure::AzureCloud::usGovernmentCloud();
    } else if (name == "custom") {
        cloud.name = "custom";
        cloud.authorityHost = config::requireString(azure, "authority_host", "azure");
        cloud.resourceManager = config::requireString(azure, "resource_manager", "azure");
        cloud.tokenScope = config::optString(azure, "token_scope", "azure")
                               .value_or(cloud.resourceManager + "/.default");
    } else {
        config::failType("azure.cloud", "one of public, china, usgovernment, custom", Record(name));
    }
    cloud.caBundle = config::optString(azure, "ca_bundle", "azure");
    return cloud;
}

std::optional<AzureCredential> YamlContext::generateAzureCredential(
    const std::string& subId) const {
    const Record& map = run_.subscriptionMap;
    Record entry = lookup(map, subId).value_or(Record::object());
    const Record& defaults = azureSection(run_.document);
    std::string entryPath = "subscriptions[" + subId + "]";

    // A subscription names its own credential (or client id), or uses the document's default
    // one; the keys of the credential always come from where it was named, so a subscription
    // with its own client id never borrows the default secret.
    const Record* source = nullptr;
    std::string sourcePath;
    for (auto [map, path] : {std::pair<const Record*, std::string>{&entry, entryPath},
                             std::pair<const Record*, std::string>{&defaults, "azure"}}) {
        if (!source && (config::optString(*map, "credential", path) ||
                        config::optString(*map, "client_id", path))) {
            source = map;
            sourcePath = path;
        }
    }
    if (!source)
        return std::nullopt;

    CredentialSpec spec;
    spec.kind = config::optString(*source, "credential", sourcePath).value_or("client_secret");
    if (std::find(std::begin(kCredentialKinds), std::end(kCredentialKinds), spec.kind) ==
        std::end(kCredentialKinds)) {
        throw ConfigError("subscription " + subId + ": unknown credential \"" + spec.kind +
                          "\" in " + sourcePath + ".credential");
    }
    spec.clientId = config::optString(*source, "client_id", sourcePath).value_or("");
    auto tenant = config::optString(entry, "tenant_id", entryPath);
    if (!tenant)
        tenant = config::optString(defaults, "tenant_id", "azure");
    spec.tenantId = tenant.value_or("");

    const bool signsAsClient = spec.kind == "client_secret" || spec.kind == "client_certificate" ||
                               spec.kind == "workload_identity";
    if (signsAsClient && spec.clientId.empty()) {
        throw ConfigError("subscription " + subId + ": credential " + spec.kind +
                          " needs client_id in " + sourcePath);
    }
    if (signsAsClient && spec.tenantId.empty())
        throw ConfigError("subscription " + subId + ": no tenant_id for its service principal");

    if (spec.kind == "client_secret") {
        spec.clientSecret = readSecret(subId, *source, sourcePath);
    } else if (spec.kind == "client_certificate") {
        auto file = config::optString(*source, "client_certificate_file", sourcePath);
        if (!file) {
            throw ConfigError("subscription " + subId + ": no client certificate: name " +
                              sourcePath + ".client_certificate_file");
        }
        try {
            spec.certificate = azure::ClientCertificate::fromFile(
                *file, readCertificatePassword(subId, *source, sourcePath));
        } catch (const azure::AuthenticationError& e) {
            throw ConfigError("subscription " + subId + ": " + e.what());
        }
    } else if (spec.kind == "workload_identity") {
        auto file = config::optString(*source, "federated_token_file", sourcePath);
        if (!file) {
            if (const char* fromEnv = std::getenv("AZURE_FEDERATED_TOKEN_FILE");
                fromEnv && *fromEnv)
                file = fromEnv;
        }
        if (!file) {
            throw ConfigError("subscription " + subId + ": no federated token file: name " +
                              sourcePath +
                              ".federated_token_file or set AZURE_FEDERATED_TOKEN_FILE");
        }
        if (!std::ifstream(*file)) {
            throw ConfigError("subscription " + subId + ": cannot read federated token file " +
                              *file);
        }
        spec.federatedTokenFile = *file;
    }
    spec.metadataHost = config::optString(defaults, "managed_identity_host", "azure").value_or("");

    azure::AzureCloud cloud = getCloud();
    auto transport = run_.azureTransportOverride;
    if (!transport)
        transport = run_.transports.get({.caBundle = cloud.caBundle});
    return AzureCredential(subId, std::move(spec), std::move(cloud),
                           run_.guarded(std::move(transport), azure::isReadOnlyRequest));
}

void YamlContext::setTransport(std::shared_ptr<http::Transport> transport) {
    run_.azureTransportOverride = std::move(transport);
}

}  // namespace dm
