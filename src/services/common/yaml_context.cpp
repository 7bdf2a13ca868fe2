#include "services/common/yaml_context.hpp"

#include <map>

#include "core/error.hpp"
#include "platform/azure/pipeline.hpp"
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

}  // namespace

AzureCredential::AzureCredential(std::string subscriptionId, std::string tenantId,
                                 std::string clientId, std::string clientSecret,
                                 azure::AzureCloud cloud,
                                 std::shared_ptr<http::Transport> transport)
    : subscriptionId_(std::move(subscriptionId)),
      tenantId_(std::move(tenantId)),
      clientId_(std::move(clientId)),
      clientSecret_(std::move(clientSecret)),
      cloud_(std::move(cloud)),
      transport_(std::move(transport)) {}

std::shared_ptr<azure::TokenCredential> AzureCredential::getCSC() const {
    std::string key = cloud_.name + "|" + cloud_.authorityHost + "|" + tenantId_ + "|" + clientId_;
    auto& cache = currentRun().tokenCredentials;
    auto it = cache.find(key);
    if (it != cache.end())
        return it->second;
    azure::ClientSecretCredentialOptions options;
    options.tenantId = tenantId_;
    options.clientId = clientId_;
    options.clientSecret = clientSecret_;
    options.cloud = cloud_;
    options.transport = transport_;
    options.clock = currentRun().clock;
    // Tokens join the run's secrets as they come, so that no echo of one reaches the log.
    options.onToken = [secrets = currentRun().secrets](const std::string& token) {
        secrets->add(token);
    };
    auto credential = azure::makeClientSecretCredential(std::move(options));
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

    // A subscription names its own principal, or uses the document's default one; its secret
    // source always comes from where its client id was found.
    const Record* principal = nullptr;
    std::string principalPath;
    if (config::optString(entry, "client_id", entryPath)) {
        principal = &entry;
        principalPath = entryPath;
    } else if (config::optString(defaults, "client_id", "azure")) {
        principal = &defaults;
        principalPath = "azure";
    }
    if (!principal)
        return std::nullopt;

    auto tenant = config::optString(entry, "tenant_id", entryPath);
    if (!tenant)
        tenant = config::optString(defaults, "tenant_id", "azure");
    if (!tenant) {
        throw ConfigError("subscription " + subId + ": no tenant_id for its service principal");
    }
    std::string clientId = (*principal)["client_id"].get<std::string>();
    std::string secret = readSecret(subId, *principal, principalPath);
    azure::AzureCloud cloud = getCloud();
    auto transport = run_.azureTransportOverride;
    if (!transport)
        transport = run_.transports.get({.caBundle = cloud.caBundle});
    return AzureCredential(subId, *tenant, clientId, std::move(secret), std::move(cloud),
                           run_.guarded(std::move(transport), azure::isReadOnlyRequest));
}

void YamlContext::setTransport(std::shared_ptr<http::Transport> transport) {
    run_.azureTransportOverride = std::move(transport);
}

}  // namespace dm
