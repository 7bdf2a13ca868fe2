#pragma once
// Azure Resource Graph queries, with the Python SDK's request and response names.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/record.hpp"
#include "platform/azure/credential.hpp"
#include "platform/azure/pipeline.hpp"

namespace dm::azure {

struct QueryRequestOptions {
    std::optional<std::string> result_format = std::nullopt;  // "objectArray" or "table"
    std::optional<int> top = std::nullopt;
    std::optional<int> skip = std::nullopt;
    std::optional<std::string> skip_token = std::nullopt;
};

struct QueryRequest {
    std::vector<std::string> subscriptions = {};
    std::string query = {};
    QueryRequestOptions options = {};
};

struct QueryResponse {
    std::int64_t total_records = 0;
    std::int64_t count = 0;
    bool result_truncated = false;
    std::optional<std::string> skip_token;  // present when more pages exist
    // objectArray: a list of row maps keyed by column name; table: {columns, rows}.
    Record data = Record::array();
    Record facets = Record::array();
};

class ResourceGraphClient {
  public:
    // A client through the credential's transport; throws dm::Error when it is null.
    explicit ResourceGraphClient(std::shared_ptr<TokenCredential> credential,
                                 ArmClientOptions options = {});

    // Runs the query and returns the first page of its answer; throws ArmError when refused
    // (for example a query the service cannot parse).
    QueryResponse resources(const QueryRequest& query) const;

  private:
    std::shared_ptr<const ArmPipeline> pipeline_;
};

}  // namespace dm::azure
