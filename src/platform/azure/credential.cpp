#include "platform/azure/credential.hpp"

#include "core/error.hpp"

namespace dm::azure {

AzureCloud AzureCloud::publicCloud() {
    return {"public", "https://login.microsoftonline.com", "https://management.azure.com",
            "https://management.azure.com/.default", std::nullopt};
}

AzureCloud AzureCloud::chinaCloud() {
    return {"china", "https://login.chinacloudapi.cn", "https://management.chinacloudapi.cn",
            "https://management.chinacloudapi.cn/.default", std::nullopt};
}

AzureCloud AzureCloud::usGovernmentCloud() {
    return {"usgovernment", "https://login.microsoftonline.us", "https://management.usgovcloudapi.net",
            "https://management.usgovcloudapi.net/.default", std::nullopt};
}

namespace {
// Placeholder until the token client lands: holds the settings, cannot fetch tokens yet.
class PendingCredential : public TokenCredential {
public:
    explicit PendingCredential(ClientSecretCredentialOptions o) : options_(std::move(o)) {}
    AccessToken getToken(const std::string&) override {
        throw Error("token requests are not available in this build");
    }
    const AzureCloud& cloud() const override { return options_.cloud; }
    std::shared_ptr<http::Transport> transport() const override { return options_.transport; }

private:
    ClientSecretCredentialOptions options_;
};
}  // namespace

std::shared_ptr<TokenCredential> makeClientSecretCredential(ClientSecretCredentialOptions options) {
    return std::make_shared<PendingCredential>(std::move(options));
}

}  // namespace dm::azure
