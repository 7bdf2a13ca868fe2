#pragma once
// Telvane: the controller API client. Class-level, like the other toolkit services.

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "core/error.hpp"
#include "core/json.hpp"
#include "core/record.hpp"
#include "platform/http/http.hpp"

namespace dm {

// A controller reply as received; json() decodes its body and throws dm::Error when it is not
// JSON.
class RestResponse {
  public:
    RestResponse(int status, std::string body) : status_(status), body_(std::move(body)) {}
    int status() const { return status_; }
    const std::string& text() const { return body_; }
    Record json() const;
    // json() with the list that `selection` names reduced as it says (see parseJsonSelecting).
    Record json(const ListSelection& selection) const;

  private:
    int status_;
    std::string body_;
};

// A failure the controller reported (a refusal, an HTTP error status, a reply that is not JSON);
// the message is the controller's reason or the HTTP facts, never a password or login id.
class TelvaneError : public Error {
  public:
    TelvaneError(const std::string& message, std::string action, int httpStatus)
        : Error(message), action_(std::move(action)), httpStatus_(httpStatus) {}
    const std::string& action() const { return action_; }
    int httpStatus() const { return httpStatus_; }

  private:
    std::string action_;
    int httpStatus_;
};

struct TelvaneOptions {
    std::optional<std::string> caBundle;         // verifies the controller's TLS certificate
    std::shared_ptr<http::Transport> transport;  // null: the run's shared one for caBundle
};

// Every call is one form-encoded HTTPS POST (wire format in docs/controller-api.md) over the
// run's connection to the controller. Failures are dm::Error: TelvaneError for what the
// controller answered, http::TransportError when nothing came back. In a dry run the callers
// skip their changing actions; one that reaches the client is refused by the run's dry-run
// guard (http::DryRunRefused, and the run fails). Reads are sent.
class Telvane {
  public:
    // Sets the run's CA bundle and transport used from the next call on.
    static void configure(TelvaneOptions options);
    // From now on the run is a dry run: changing actions are refused.
    static void setDryRun();
    static bool isDryRun();

    // Logs in at "https://" + controllerIp + "/v1/api"; returns the login id, throws when the
    // login is refused. Neither the password nor the id is ever logged.
    static std::string getCid(const std::string& controllerIp, const std::string& user,
                              const std::string& password);

    // Map from spoke gateway name to the list of CIDR texts it advertises (empty list: none).
    static Record get_spoke_gw_adv_cidr(const std::string& api_endpoint_url,
                                        const std::string& CID);
    // Names of the spoke gateways attached to `transit_gw`; refused for an unknown gateway.
    static std::set<std::string> list_attached_spoke(const std::string& api_endpoint_url,
                                                     const std::string& CID,
                                                     const std::string& transit_gw);
    // Detaches the spoke from the transit; refused when it is not attached there.
    static void detach_spoke_from_transit_gw(const std::string& api_endpoint_url,
                                             const std::string& CID, const std::string& spoke_gw,
                                             const std::string& transit_gw);
    // Attaches the spoke to the transit, optionally without maximum performance ("true") and
    // with the given route tables ("name:rg" joined with ","); refused when already attached.
    static void attach_spoke_to_transit_gw(
        const std::string& api_endpoint_url, const std::string& CID, const std::string& spoke_gw,
        const std::string& transit_gw, const std::optional<std::string>& no_max_performance = {},
        const std::optional<std::string>& route_table_list = {});
    // Sets the gateway's advertised CIDRs to exactly `cidrs` (joined with ","; empty clears).
    static void edit_gw_adv_cidr(const std::string& api_endpoint_url, const std::string& CID,
                                 const std::string& gw_name, const std::string& cidrs);
    // Returns when the gateway has received `aCidr`; throws TelvaneError otherwise.
    static void check_transit_received_cidr(const std::string& api_endpoint_url,
                                            const std::string& CID, const std::string& gateway_name,
                                            const std::string& aCidr);
    // The gateway list as received; a "return" of false is left to the caller. Throws on an HTTP
    // error status or when nothing came back.
    static RestResponse list_gateway_info(const std::string& api_endpoint_url,
                                          const std::string& CID,
                                          const std::string& vpc_access_account_name = "");
    // The account list as received ("results" -> "account_list"); failures as list_gateway_info.
    static RestResponse list_accounts(const std::string& api_endpoint_url, const std::string& CID,
                                      const std::string& iam_based = "false");
    // Sends one request whose form fields are the payload's keys (values in their text form);
    // throws when the controller refuses. A payload without "action" is a dm::Error.
    static void telvane_post(const std::string& api_endpoint_url, const Record& payload);

    // The security domains: list of {"domain_name", "attachments": [...]}.
    static Record list_multi_cloud_security_domains(const std::string& api_endpoint_url,
                                                    const std::string& CID);

    // Subnet groups of a spoke gateway: list of {"group_name", "subnets": [...]}.
    static Record list_spoke_subnet_groups(const std::string& api_endpoint_url,
                                           const std::string& CID, const std::string& gw_name);
    // Creates a group; `subnet_list` is subnet names joined with ",". Refused when it exists.
    static void add_spoke_subnet_group(const std::string& api_endpoint_url, const std::string& CID,
                                       const std::string& gw_name, const std::string& group_name,
                                       const std::string& subnet_list = "");
    // Replaces the group's subnets; refused when the group does not exist.
    static void update_spoke_subnet_group(const std::string& api_endpoint_url,
                                          const std::string& CID, const std::string& gw_name,
                                          const std::string& group_name,
                                          const std::string& subnet_list);
    // Removes the group; refused when it does not exist.
    static void delete_spoke_subnet_group(const std::string& api_endpoint_url,
                                          const std::string& CID, const std::string& gw_name,
                                          const std::string& group_name);
};

}  // namespace dm
