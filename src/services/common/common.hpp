#pragma once
// Common: configuration access for the toolkit. Reads the discovery YAML, builds the logging
// configuration, the controller credential and the global and per-VNet option records.
// Every key it reads is described in docs/discovery-yaml.md.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/ip_network.hpp"
#include "core/record.hpp"
#include "platform/azure/records.hpp"
#include "services/context/command_options.hpp"

namespace dm {

// What initLogLocation gives: the logging configuration and where the log file goes.
struct LogLocation {
    Record logging_config;  // "handlers" → "consoleHandler" / "logConsoleHandler", "loggers"
    std::string log_folder;
    std::string log_file;  // full path of the log file
};

class Common {
  public:
    static constexpr const char* LOGGER = "dm.arm.commonlib";

    // Subnet names that Azure reserves for its own services; they are never re-associated.
    static inline const std::vector<std::string> AZURE_SUBNET = {
        "GatewaySubnet", "AzureFirewallSubnet", "AzureFirewallManagementSubnet",
        "AzureBastionSubnet", "RouteServerSubnet"};

    // Loads a YAML file under the YAML 1.2 core schema into an ordered record and makes it the
    // run's document (and `path` its input path). A ConfigError naming the file refuses a file
    // that is missing, not a regular file (it is never read) or malformed, a stream of more than
    // one document, an alias inside the node it names, and a document beyond the node and
    // nesting limits of docs/discovery-yaml.md.
    static Record convert_yaml_to_json(const std::string& path);

    // Throws ConfigError naming the file and the type found when the document's "document_type"
    // is not `type` (or is missing); then checks the document with validateDocument.
    static void expectYamlType(const Record& doc, const std::string& type);

    // Checks every key the run reads (types, required keys, CIDR texts, names, option values)
    // in one pass, so that a bad document fails at start-up, before anything is changed, with a
    // config::DocumentProblems that lists every problem, one line each naming the key path.
    static void validateDocument(const Record& doc);

    // The logging configuration for the document's "log" section; creates nothing on disk.
    static LogLocation initLogLocation(const Record& doc);

    // Logs the command line at info level through "dm.arm.commonlib".
    static void logCommandOptions(const std::string& commandLine);

    // (user, password) of the controller: user from --ctrl_user, else "telvane" → "user";
    // password from the environment variable, file or terminal prompt that the document names.
    // Uses the document last loaded by convert_yaml_to_json. Throws ConfigError when either is
    // unavailable; the password never appears in a log line or an error.
    static std::pair<std::string, std::string> getCtrlCredential(const CommandOptions& options);
    static std::pair<std::string, std::string> getCtrlCredential(const CommandOptions& options,
                                                                 const Record& doc);

    // The allowed VNet CIDRs as a list of canonical CIDR texts (storable in a record); an empty
    // list when the document has none. A text that is no CIDR is a ConfigError.
    static Record getAllowVpcCidr(const Record& doc);
    // Parses a list of CIDR texts (as getAllowVpcCidr returns) into networks; throws dm::Error
    // on a bad text.
    static std::vector<IpNetwork> toNetworks(const Record& cidrTexts);

    // Map from subscription id to its information (alias, tenant, client id, secret source),
    // from the document's "subscriptions" list; empty map when there is none.
    static Record getAzureSubscriptionInfo(const Record& doc);

    // "telvane" → "private_ip"; ConfigError when missing.
    static std::string getControllerPrivateIp(const Record& doc);
    // "telvane" → "ca_bundle", or nullopt (the system's CA store is then used).
    static std::optional<std::string> getControllerCaBundle(const Record& doc);

    // "switch_traffic" → "default_route_table": the suffix text, or JSON null when unset.
    static Record getPreStageDefaultRouteTable(const Record& doc);

    // "switch_traffic" → "transit_peering": map from transit gateway name to its peer transit
    // gateway name; an empty map when unset.
    static Record getTransitPeeringMap(const Record& doc);

    // "switch_traffic" → "delete_vnet_lock", false when unset.
    static bool getSWDeleteVnetLock(const Record& doc);

    // Adds every global option of "switch_traffic" (with its default when unset) to `record`
    // in place, without replacing keys the record already holds.
    static void readGlobalConfigOption(const Record& doc, Record& record);

    // Logs the subscription being processed at info level through "dm.arm.commonlib".
    static void logSubscription(const std::string& subId);

    // The subscription's information: its entry of `subscriptionMap` (copied), with
    // "subscription_id" and "alias" always set (the account entry's "alias" wins, then the
    // map's, then the subscription id itself).
    static Record getSubscription(const Record& subscriptionMap, const std::string& subId,
                                  const Record& accountEntry);

    // The account folder: "terraform" → "output_folder" + "/" + alias (or subscription id).
    static std::string getTargetLocation(const Record& subInfo, const Record& doc);

    // Creates `folder` (and parents), copies the input YAML into it and makes it the run's
    // account folder; a failure to create or copy is a dm::Error naming the path.
    static void setupTargetFolder(const Record& doc, const std::string& inputPath,
                                  const std::string& folder);

    // Fills `optionRecord` in place with the VNet's options: each key from the VNet's entry in
    // `vnetMap` (name → VNet YAML entry) when set there, else from the record's global value,
    // else its default. A VNet absent from the map gets the global values.
    static void readVnetOption(const Record& vnetMap, const std::string& vnetName,
                               Record& optionRecord);
    static void readVnetOption(const Record& vnetMap, const azure::VirtualNetwork& vnet,
                               Record& optionRecord) {
        readVnetOption(vnetMap, vnet.name(), optionRecord);
    }

    // True while the VNet's Terraform file at `tfPath` does not mark the VNet as switched (the
    // Terraform service reads the file).
    static bool isBeforeSwitchTraffic(const std::string& tfPath);

    // The prefix of the VNet's main route-table names (prefix + "-main-1"/"-main-2"), or
    // nullopt when it is the VNet name itself. See docs/discovery-yaml.md, "main_table_prefix".
    static std::optional<std::string> getMainTablePrefix(const std::string& vnetName);

    // The run's document (null before convert_yaml_to_json).
    static const Record& document();
};

// Configures spdlog from a configuration made by Common::initLogLocation: every named logger
// writes to the console sink (bare message) and the file sink (time and level), each at its
// handler's level, and to the run's error counter. Both sinks mask the run's secrets
// (RunContext::secrets) and escape control characters in every message. Creates the log folder; a
// folder or file that cannot be opened is a ConfigError naming it.
void applyLoggingConfig(const Record& config);

}  // namespace dm
