#pragma once
// Microsoft.Authorization management locks at resource level, with the Python SDK's names and
// parameter order.

#include <memory>
#include <string>
#include <vector>

#include "platform/azure/credential.hpp"
#include "platform/azure/pipeline.hpp"
#include "platform/azure/records.hpp"

namespace dm::azure {

class ManagementLocksOperations {
  public:
    ManagementLocksOperations(std::shared_ptr<const ArmPipeline> pipeline,
                              std::string subscriptionId);

    // The locks on the resource (all pages). `parent_resource_path` may be "" (a top-level
    // resource such as a VNet); it and `resource_type` are taken as they are, not encoded.
    std::vector<ManagementLockObject> list_at_resource_level(
        const std::string& resource_group_name, const std::string& resource_provider_namespace,
        const std::string& parent_resource_path, const std::string& resource_type,
        const std::string& resource_name) const;

    // Deletes the lock; returns when ARM answered 200 or 204 (also for a lock already gone),
    // throws ArmError otherwise.
    void delete_at_resource_level(const std::string& resource_group_name,
                                  const std::string& resource_provider_namespace,
                                  const std::string& parent_resource_path,
                                  const std::string& resource_type,
                                  const std::string& resource_name,
                                  const std::string& lock_name) const;

    // The ARM path of the resource's lock collection, with "//" of an empty parent collapsed.
    std::string locksPath(const std::string& resource_group_name,
                          const std::string& resource_provider_namespace,
                          const std::string& parent_resource_path, const std::string& resource_type,
                          const std::string& resource_name) const;

  private:
    std::shared_ptr<const ArmPipeline> pipeline_;
    std::string subscriptionId_;
};

class ManagementLockClient {
  public:
    // A client of one subscription through the credential's transport; throws dm::Error when
    // the credential is null.
    ManagementLockClient(std::shared_ptr<TokenCredential> credential, std::string subscriptionId,
                         ArmClientOptions options = {});

    ManagementLocksOperations management_locks;
};

}  // namespace dm::azure
