#include "platform/azure/lock_client.hpp"

#include "core/text.hpp"

namespace dm::azure {

namespace {

// parentResourcePath and resourceType may hold "/" and are sent as given; empty segments (an
// empty parent path) are dropped so the path never carries "//".
std::string rawSegments(const std::string& path) {
    std::vector<std::string> parts;
    for (auto& part : text::split(path, '/')) {
        if (!part.empty())
            parts.push_back(part);
    }
    return text::join(parts, "/");
}

}  // namespace

ManagementLocksOperations::ManagementLocksOperations(std::shared_ptr<const ArmPipeline> pipeline,
                                                     std::string subscriptionId)
    : pipeline_(std::move(pipeline)), subscriptionId_(std::move(subscriptionId)) {}

std::string ManagementLocksOperations::locksPath(const std::string& resource_group_name,
                                                 const std::string& resource_provider_namespace,
                                                 const std::string& parent_resource_path,
                                                 const std::string& resource_type,
                                                 const std::string& resource_name) const {
    std::string path = "/subscriptions/" + encodeUriComponent(subscriptionId_) +
                       "/resourcegroups/" + encodeUriComponent(resource_group_name) +
                       "/providers/" + encodeUriComponent(resource_provider_namespace);
    if (auto parent = rawSegments(parent_resource_path); !parent.empty())
        path += "/" + parent;
    if (auto type = rawSegments(resource_type); !type.empty())
        path += "/" + type;
    return path + "/" + encodeUriComponent(resource_name) +
           "/providers/Microsoft.Authorization/locks";
}

std::vector<ManagementLockObject> ManagementLocksOperations::list_at_resource_level(
    const std::string& resource_group_name, const std::string& resource_provider_namespace,
    const std::string& parent_resource_path, const std::string& resource_type,
    const std::string& resource_name) const {
    const std::string path = locksPath(resource_group_name, resource_provider_namespace,
                                       parent_resource_path, resource_type, resource_name);
    std::vector<ManagementLockObject> out;
    for (auto& item : pipeline_->listAll(pipeline_->url(path, kLocksApiVersion), path)) {
        out.emplace_back(std::move(item));
    }
    return out;
}

void ManagementLocksOperations::delete_at_resource_level(
    const std::string& resource_group_name, const std::string& resource_provider_namespace,
    const std::string& parent_resource_path, const std::string& resource_type,
    const std::string& resource_name, const std::string& lock_name) const {
    const std::string path = locksPath(resource_group_name, resource_provider_namespace,
                                       parent_resource_path, resource_type, resource_name) +
                             "/" + encodeUriComponent(lock_name);
    pipeline_->send("DELETE", pipeline_->url(path, kLocksApiVersion), std::nullopt, {200, 204},
                    path);
}

ManagementLockClient::ManagementLockClient(std::shared_ptr<TokenCredential> credential,
                                           std::string subscriptionId, ArmClientOptions options)
    : management_locks(
          std::make_shared<const ArmPipeline>(std::move(credential), std::move(options)),
          std::move(subscriptionId)) {}

}  // namespace dm::azure
