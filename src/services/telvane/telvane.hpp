#pragma once
// Telvane: the controller API client. Class-level, like the other toolkit services.

#include <memory>
#include <optional>
#include <set>
#include <string>

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

private:
    int status_;
    std::string body_;
};

struct TelvaneOptions {
    std::optional<std::string> caBundle;  // verifies the controller's TLS certificate
    std::shared_ptr<http::Transport> transport;  // null: a libcurl transport of our own
};

class Telvane {
public:
    static void configure(TelvaneOptions options);
    static void setDryRun();
    static bool isDryRun();

    // Logs in; returns the login id. Neither the password nor the id is ever logged.
    static std::string getCid(const std::string& controllerIp, const std::string& user,
                              const std::string& password);

    // Map from spoke gateway name to the list of CIDR texts it advertises.
    static Record get_spoke_gw_adv_cidr(const std::string& api_endpoint_url, const std::string& CID);
    static std::set<std::string> list_attached_spoke(const std::string& api_endpoint_url,
                                                     const std::string& CID,
                                                     const std::string& transit_gw);
    static void detach_spoke_from_transit_gw(const std::string& api_endpoint_url,
                                             const std::string& CID, const std::string& spoke_gw,
                                             const std::string& transit_gw);
    static void attach_spoke_to_transit_gw(
        const std::string& api_endpoint_url, const std::string& CID, const std::string& spoke_gw,
        const std::string& transit_gw, const std::optional<std::string>& no_max_performance = {},
        const std::optional<std::string>& route_table_list = {});
    static void edit_gw_adv_cidr(const std::string& api_endpoint_url, const std::string& CID,
                                 const std::string& gw_name, const std::string& cidrs);
    static void check_transit_received_cidr(const std::string& api_endpoint_url,
                                            const std::string& CID, const std::string& gateway_name,
                                            const std::string& aCidr);
    static RestResponse list_gateway_info(const std::string& api_endpoint_url,
                                          const std::string& CID,
                                          const std::string& vpc_access_account_name = "");
    static RestResponse list_accounts(const std::string& api_endpoint_url, const std::string& CID,
                                      const std::string& iam_based = "false");
    // Sends one request whose form fields are the payload's keys.
    static void telvane_post(const std::string& api_endpoint_url, const Record& payload);
};

}  // namespace dm
