// The controller API client: one form-encoded POST per call, JSON replies with "return".
#include "services/telvane/telvane.hpp"

#include <curl/curl.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <utility>
#include <vector>

#include "core/ip_network.hpp"
#include "core/json.hpp"
#include "core/log.hpp"
#include "core/text.hpp"
#include "services/context/run_context.hpp"

namespace dm {
namespace {

constexpr const char* kLoggerName = "dm.arm.telvane";
constexpr std::size_t kExcerptLength = 200;

using Fields = std::vector<std::pair<std::string, std::string>>;

// The run's connection to the controller. Calls may come from several threads at once: the
// lock covers making and replacing the transport, which the senders then share.
struct ControllerConnection {
    std::mutex mutex;
    TelvaneOptions options;
    std::shared_ptr<http::Transport> transport;
};

ControllerConnection& connection() {
    return currentRun().service<ControllerConnection>();
}

std::shared_ptr<spdlog::logger> logger() {
    return namedLogger(kLoggerName);
}

// Reading actions are sent in a dry run too; every other action changes the controller.
bool isReadingAction(std::string_view action) {
    static const std::vector<std::string> reads = {
        "login",
        "list_gateways",
        "list_accounts",
        "list_spoke_gateway_advertised_cidrs",
        "list_attached_spokes",
        "list_gateway_received_cidrs",
        "list_spoke_subnet_groups",
        "list_multi_cloud_security_domains",
    };
    return std::find(reads.begin(), reads.end(), action) != reads.end();
}

// The dry-run guard's view of a request: its form body starts with "action=<name>".
bool isReadingRequest(const http::Request& request) {
    std::string_view body = request.body;
    constexpr std::string_view prefix = "action=";
    if (body.substr(0, prefix.size()) != prefix)
        return false;
    body.remove_prefix(prefix.size());
    return isReadingAction(body.substr(0, body.find('&')));
}

// Held by the caller for its send, so that a configure() meanwhile does not pull it away.
std::shared_ptr<http::Transport> transport() {
    auto& c = connection();
    std::lock_guard lock(c.mutex);
    if (!c.transport) {
        RunContext& run = currentRun();
        auto inner = c.options.transport;
        // The run's shared transport: a controller on the same host as the cloud endpoints
        // (the emulator) rides the same connection.
        if (!inner)
            inner = run.transports.get({.caBundle = c.options.caBundle});
        c.transport = run.guarded(std::move(inner), isReadingRequest);
    }
    return c.transport;
}

std::string formEncode(const Fields& fields) {
    std::string body;
    for (const auto& [name, value] : fields) {
        if (!body.empty())
            body += '&';
        for (const auto* part : {&name, &value}) {
            char* escaped = curl_easy_escape(nullptr, part->data(), static_cast<int>(part->size()));
            if (escaped == nullptr)
                throw Error("cannot encode a controller request");
            body += escaped;
            curl_free(escaped);
            if (part == &name)
                body += '=';
        }
    }
    return body;
}

// The text with the request's password and login id masked, should the controller echo them.
// A controller may echo the request as it received it (form-encoded, with "+" or "%20" for a
// blank, in either case of hex digits) or quote it in JSON, so every such form is masked.
std::string mask(std::string text, const Fields& fields) {
    auto maskAll = [&text](const std::string& form) {
        if (form.empty())
            return;
        for (auto pos = text.find(form); pos != std::string::npos; pos = text.find(form, pos + 3))
            text.replace(pos, form.size(), "***");
    };
    for (const auto& [name, value] : fields) {
        if ((name != "CID" && name != "password") || value.empty())
            continue;
        std::vector<std::string> forms = {value, Record(value).dump()};
        forms[1] = forms[1].substr(1, forms[1].size() - 2);  // JSON-escaped, without quotes
        if (char* escaped =
                curl_easy_escape(nullptr, value.data(), static_cast<int>(value.size()))) {
            const std::string upper = escaped;
            curl_free(escaped);
            std::string lower = upper;
            for (std::size_t i = 0; i + 2 < lower.size(); ++i) {
                if (lower[i] == '%') {
                    lower[i + 1] = static_cast<char>(std::tolower(lower[i + 1]));
                    lower[i + 2] = static_cast<char>(std::tolower(lower[i + 2]));
                }
            }
            forms.insert(forms.end(), {upper, lower});
            for (const std::string& encoded : {upper, lower}) {
                std::string plus = encoded;
                for (auto at = plus.find("%20"); at != std::string::npos; at = plus.find("%20", at))
                    plus.replace(at, 3, "+");
                forms.push_back(plus);
            }
        }
        // Longest first, so a form that contains another is masked whole.
        std::sort(forms.begin(), forms.end(),
                  [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
        for (const auto& form : forms)
            maskAll(form);
    }
    return text;
}

// A short, single-line piece of a reply body with the request's secrets masked, for error texts.
std::string excerpt(std::string body, const Fields& fields) {
    body = mask(std::move(body), fields);
    std::replace(body.begin(), body.end(), '\n', ' ');
    std::replace(body.begin(), body.end(), '\r', ' ');
    body = text::trim(body);
    if (body.size() > kExcerptLength)
        body = body.substr(0, kExcerptLength) + "...";
    return body;
}

http::Response send(const std::string& url, const Fields& fields) {
    const std::string& action = fields.front().second;
    logger()->debug("controller action {}", action);
    http::Request request;
    request.method = "POST";
    request.url = url;
    request.headers = {{"Content-Type", "application/x-www-form-urlencoded"},
                       {"Accept", "application/json"}};
    request.body = formEncode(fields);
    // Reads may be sent again after any transient failure; changes only where the policy knows
    // the controller cannot have acted.
    request.idempotent = isReadingAction(action);
    http::Response response = transport()->send(request);
    if (response.status < 200 || response.status > 299) {
        throw TelvaneError(fmt::format("controller answered HTTP {} to {}: {}", response.status,
                                       action, excerpt(response.body, fields)),
                           action, response.status);
    }
    return response;
}

// Sends one action and returns the reply's "results" (null when the reply has none). Refusals,
// HTTP errors and replies that are not JSON throw TelvaneError; a changing action in a dry run
// is refused by the run's guard (http::DryRunRefused).
// `entryKeys`, when given, are the only fields of each "results" entry that the caller reads;
// none keeps every field.
Record call(const std::string& url, const Fields& fields,
            std::vector<std::string_view> entryKeys = {}) {
    const std::string& action = fields.front().second;
    http::Response response = send(url, fields);
    std::optional<Record> parsed =
        parseJsonSelecting(response.body, {"results", std::move(entryKeys), std::nullopt});
    if (!parsed) {
        throw TelvaneError(fmt::format("controller reply to {} is not JSON (HTTP {}): {}", action,
                                       response.status, excerpt(response.body, fields)),
                           action, response.status);
    }
    Record& reply = *parsed;
    auto flag = lookup(reply, "return");
    if (!flag || !flag->is_boolean()) {
        throw TelvaneError(fmt::format("controller reply to {} has no \"return\" flag", action),
                           action, response.status);
    }
    if (!flag->get<bool>()) {
        auto reason = lookup(reply, "reason");
        std::string text = !reason ? "the controller gave no reason" : textForm(*reason);
        logger()->debug("controller refused {}", action);
        throw TelvaneError(mask(std::move(text), fields), action, response.status);
    }
    if (auto results = reply.find("results"); reply.is_object() && results != reply.end())
        return std::move(*results);
    return Record();
}

[[noreturn]] void unexpected(const std::string& action, const std::string& what) {
    throw TelvaneError(fmt::format("unexpected controller reply to {}: {}", action, what), action,
                       200);
}

Record expectList(const Record& results, const std::string& action) {
    if (!results.is_array())
        unexpected(action, "\"results\" is not a list");
    return results;
}

// The network a CIDR text names, or nullopt when it does not parse.
std::optional<IpNetwork> networkOf(std::string_view cidr) {
    try {
        return IpNetwork::parse(text::trim(cidr));
    } catch (const Error&) {
        return std::nullopt;
    }
}

// Whether two CIDR texts name one network; texts that do not parse match only as written.
bool sameCidr(std::string_view text, const std::optional<IpNetwork>& network,
              std::string_view written) {
    if (!network)
        return text == written;
    const std::optional<IpNetwork> other = networkOf(text);
    return other ? *other == *network : false;
}

Record replyOrThrow(std::optional<Record> body, int status) {
    if (!body)
        throw Error(fmt::format("controller reply is not JSON (HTTP {})", status));
    return std::move(*body);
}

}  // namespace

Record RestResponse::json() const {
    return replyOrThrow(parseJson(body_), status_);
}

Record RestResponse::json(const ListSelection& selection) const {
    return replyOrThrow(parseJsonSelecting(body_, selection), status_);
}

void Telvane::configure(TelvaneOptions options) {
    auto& c = connection();
    std::lock_guard lock(c.mutex);
    c.options = std::move(options);
    c.transport.reset();
}

void Telvane::setDryRun() {
    currentRun().dryRun.activate();
}

bool Telvane::isDryRun() {
    return currentRun().dryRun.active();
}

std::string Telvane::getCid(const std::string& controllerIp, const std::string& user,
                            const std::string& password) {
    const std::string url = "https://" + controllerIp + "/v1/api";
    Record results = call(url, {{"action", "login"}, {"username", user}, {"password", password}});
    auto cid = lookup(results, "CID");
    if (!cid || !cid->is_string() || cid->get<std::string>().empty()) {
        unexpected("login", "no login id");
    }
    return cid->get<std::string>();
}

Record Telvane::get_spoke_gw_adv_cidr(const std::string& api_endpoint_url, const std::string& CID) {
    const std::string action = "list_spoke_gateway_advertised_cidrs";
    Record list = expectList(
        call(api_endpoint_url, {{"action", action}, {"CID", CID}}, {"gw_name", "advertised_cidrs"}),
        action);
    Record map = Record::object();
    for (const auto& entry : list) {
        auto name = lookup(entry, "gw_name");
        auto cidrs = lookup(entry, "advertised_cidrs");
        if (!name || !name->is_string())
            unexpected(action, "an entry without \"gw_name\"");
        Record texts = Record::array();
        if (cidrs && cidrs->is_array()) {
            for (const auto& c : *cidrs)
                texts.push_back(textForm(c));
        }
        map[name->get<std::string>()] = std::move(texts);
    }
    return map;
}

std::set<std::string> Telvane::list_attached_spoke(const std::string& api_endpoint_url,
                                                   const std::string& CID,
                                                   const std::string& transit_gw) {
    const std::string action = "list_attached_spokes";
    Record list = expectList(
        call(api_endpoint_url, {{"action", action}, {"CID", CID}, {"transit_gw_name", transit_gw}},
             {"spoke_gw_name"}),
        action);
    std::set<std::string> names;
    for (const auto& entry : list) {
        auto name = lookup(entry, "spoke_gw_name");
        if (!name || !name->is_string())
            unexpected(action, "an entry without \"spoke_gw_name\"");
        names.insert(name->get<std::string>());
    }
    return names;
}

void Telvane::detach_spoke_from_transit_gw(const std::string& api_endpoint_url,
                                           const std::string& CID, const std::string& spoke_gw,
                                           const std::string& transit_gw) {
    call(api_endpoint_url, {{"action", "detach_spoke_from_transit_gateway"},
                            {"CID", CID},
                            {"spoke_gw_name", spoke_gw},
                            {"transit_gw_name", transit_gw}});
}

void Telvane::attach_spoke_to_transit_gw(const std::string& api_endpoint_url,
                                         const std::string& CID, const std::string& spoke_gw,
                                         const std::string& transit_gw,
                                         const std::optional<std::string>& no_max_performance,
                                         const std::optional<std::string>& route_table_list) {
    Fields fields = {{"action", "attach_spoke_to_transit_gateway"},
                     {"CID", CID},
                     {"spoke_gw_name", spoke_gw},
                     {"transit_gw_name", transit_gw}};
    if (no_max_performance)
        fields.emplace_back("no_max_performance", *no_max_performance);
    if (route_table_list)
        fields.emplace_back("route_table_list", *route_table_list);
    call(api_endpoint_url, fields);
}

void Telvane::edit_gw_adv_cidr(const std::string& api_endpoint_url, const std::string& CID,
                               const std::string& gw_name, const std::string& cidrs) {
    call(api_endpoint_url, {{"action", "edit_gateway_advertised_cidrs"},
                            {"CID", CID},
                            {"gw_name", gw_name},
                            {"cidrs", cidrs}});
}

void Telvane::check_transit_received_cidr(const std::string& api_endpoint_url,
                                          const std::string& CID, const std::string& gateway_name,
                                          const std::string& aCidr) {
    const std::string action = "list_gateway_received_cidrs";
    Record list = expectList(
        call(api_endpoint_url, {{"action", action}, {"CID", CID}, {"gw_name", gateway_name}}),
        action);
    // The transit's list holds every spoke's CIDRs: the wanted one is parsed once.
    const std::optional<IpNetwork> wanted = networkOf(aCidr);
    for (const auto& entry : list) {
        if (entry.is_string() && sameCidr(entry.get_ref<const std::string&>(), wanted, aCidr))
            return;
    }
    throw TelvaneError(fmt::format("{} has not received {}", gateway_name, aCidr), action, 200);
}

RestResponse Telvane::list_gateway_info(const std::string& api_endpoint_url, const std::string& CID,
                                        const std::string& vpc_access_account_name) {
    http::Response response =
        send(api_endpoint_url, {{"action", "list_gateways"},
                                {"CID", CID},
                                {"vpc_access_account_name", vpc_access_account_name}});
    return RestResponse(response.status, std::move(response.body));
}

RestResponse Telvane::list_accounts(const std::string& api_endpoint_url, const std::string& CID,
                                    const std::string& iam_based) {
    http::Response response = send(
        api_endpoint_url, {{"action", "list_accounts"}, {"CID", CID}, {"iam_based", iam_based}});
    return RestResponse(response.status, std::move(response.body));
}

void Telvane::telvane_post(const std::string& api_endpoint_url, const Record& payload) {
    auto action = lookup(payload, "action");
    if (!action || !action->is_string())
        throw Error("controller payload has no \"action\"");
    // "action" goes first so that every request reads alike on the wire and in the logs.
    Fields fields = {{"action", action->get<std::string>()}};
    for (const auto& [key, value] : payload.items()) {
        if (key != "action")
            fields.emplace_back(key, textForm(value));
    }
    call(api_endpoint_url, fields);
}

Record Telvane::list_multi_cloud_security_domains(const std::string& api_endpoint_url,
                                                  const std::string& CID) {
    const std::string action = "list_multi_cloud_security_domains";
    return expectList(call(api_endpoint_url, {{"action", action}, {"CID", CID}}), action);
}

Record Telvane::list_spoke_subnet_groups(const std::string& api_endpoint_url,
                                         const std::string& CID, const std::string& gw_name) {
    const std::string action = "list_spoke_subnet_groups";
    return expectList(
        call(api_endpoint_url, {{"action", action}, {"CID", CID}, {"gw_name", gw_name}}), action);
}

void Telvane::add_spoke_subnet_group(const std::string& api_endpoint_url, const std::string& CID,
                                     const std::string& gw_name, const std::string& group_name,
                                     const std::string& subnet_list) {
    call(api_endpoint_url, {{"action", "add_spoke_subnet_group"},
                            {"CID", CID},
                            {"gw_name", gw_name},
                            {"group_name", group_name},
                            {"subnet_list", subnet_list}});
}

void Telvane::update_spoke_subnet_group(const std::string& api_endpoint_url, const std::string& CID,
                                        const std::string& gw_name, const std::string& group_name,
                                        const std::string& subnet_list) {
    call(api_endpoint_url, {{"action", "update_spoke_subnet_group"},
                            {"CID", CID},
                            {"gw_name", gw_name},
                            {"group_name", group_name},
                            {"subnet_list", subnet_list}});
}

void Telvane::delete_spoke_subnet_group(const std::string& api_endpoint_url, const std::string& CID,
                                        const std::string& gw_name, const std::string& group_name) {
    call(api_endpoint_url, {{"action", "delete_spoke_subnet_group"},
                            {"CID", CID},
                            {"gw_name", gw_name},
                            {"group_name", group_name}});
}

}  // namespace dm
