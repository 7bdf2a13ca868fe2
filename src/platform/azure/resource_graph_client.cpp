#include "platform/azure/resource_graph_client.hpp"

#include <algorithm>
#include <limits>

#include "core/json.hpp"
#include "core/text.hpp"
#include "platform/azure/detail.hpp"

namespace dm::azure {

namespace {

const char* kResourcesPath = "/providers/Microsoft.ResourceGraph/resources";

std::int64_t integerAt(const Record& body, const char* key) {
    auto it = body.find(key);
    if (it == body.end() || !it->is_number())
        return 0;
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    if (it->is_number_unsigned())
        return static_cast<std::int64_t>(std::min<std::uint64_t>(it->get<std::uint64_t>(), kMax));
    if (it->is_number_integer())
        return it->get<std::int64_t>();
    // A count beyond 64 bits cannot be converted (the cast would be undefined): it saturates.
    const double value = it->get<double>();
    if (value >= 0x1p63)
        return kMax;
    if (value < -0x1p63)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

}  // namespace

ResourceGraphClient::ResourceGraphClient(std::shared_ptr<TokenCredential> credential,
                                         ArmClientOptions options)
    : pipeline_(std::make_shared<const ArmPipeline>(std::move(credential), std::move(options))) {}

QueryResponse ResourceGraphClient::resources(const QueryRequest& query) const {
    Record body = Record::object();
    body["subscriptions"] = query.subscriptions;
    body["query"] = query.query;
    Record options = Record::object();
    if (query.options.result_format)
        options["resultFormat"] = *query.options.result_format;
    if (query.options.top)
        options["$top"] = *query.options.top;
    if (query.options.skip)
        options["$skip"] = *query.options.skip;
    if (query.options.skip_token)
        options["$skipToken"] = *query.options.skip_token;
    if (!options.empty())
        body["options"] = options;

    // The query only reads, so the retry policy may send it again like a GET.
    auto response =
        pipeline_->send("POST", pipeline_->url(kResourcesPath, kResourceGraphApiVersion), body,
                        {200}, kResourcesPath, "", true);
    auto answer = parseJsonObject(response.body);
    if (!answer)
        throw Error("unreadable answer to the Resource Graph query");

    QueryResponse out;
    out.total_records = integerAt(*answer, "totalRecords");
    out.count = integerAt(*answer, "count");
    if (auto truncated = answer->find("resultTruncated"); truncated != answer->end()) {
        // The service sends the string "true"/"false"; accept a real boolean as well.
        out.result_truncated =
            truncated->is_boolean()
                ? truncated->get<bool>()
                : text::iequals(detail::stringAt(*answer, "resultTruncated").value_or(""), "true");
    }
    out.skip_token = detail::stringAt(*answer, "$skipToken");
    if (auto data = answer->find("data"); data != answer->end() && !data->is_null()) {
        out.data = *data;
    }
    if (auto facets = answer->find("facets"); facets != answer->end() && facets->is_array()) {
        out.facets = *facets;
    }
    return out;
}

}  // namespace dm::azure
