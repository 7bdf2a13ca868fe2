#include "dm/arm/startup.hpp"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

#include <spdlog/spdlog.h>

#include "core/error.hpp"
#include "core/log.hpp"
#include "core/text.hpp"
#include "dm/arm/account_run.hpp"
#include "dm/build_info.hpp"
#include "services/aws/aws.hpp"
#include "services/common/common.hpp"
#include "services/common/config_check.hpp"
#include "services/common/yaml_context.hpp"
#include "services/context/app_exit_status.hpp"
#include "services/context/globals.hpp"
#include "services/telvane/telvane.hpp"
#include "services/terraform/terraform.hpp"

#ifndef DM_VERSION
#define DM_VERSION "0.0.0"
#endif

namespace dm::arm {
namespace {

void buildParser(CLI::App& app, CommandOptions& o, std::string& ctrlUser, std::string& s3Yaml,
                 std::string& yamlFile) {
    app.add_option("--ctrl_user", ctrlUser, "Telvane Controller username");
    app.add_option("--s3_yaml_download", s3Yaml,
                   "a list of comma separated strings in the form: "
                   "<s3_account>,<s3_role>,<s3_bucket>,<spoke_account>");
    app.add_flag("--s3backup", o.s3backup,
                 "At the end of switch_traffic, upload the generated account folder into S3");
    app.add_flag("--s3download", o.s3download,
                 "At the beginning of switch_traffic, download the archived account folder from "
                 "S3");
    app.add_option("--yaml_file", yamlFile, "specify input <yaml_file>");
    app.add_flag("--revert", o.revert, "revert route table migration");
    app.add_flag("--dry_run", o.dry_run, "Dry run traffic_switch logic and show what will be done");
    app.add_flag("--debug", o.debug, "Set logging to DEBUG");
    app.add_flag("--no_progress", o.no_progress,
                 "Do not show the status line on a terminal's standard error");
    app.add_option("--parallel", o.parallel,
                   "Switch (or revert) up to N VNets of an account at once (1 to 64; default 1: "
                   "one after another); the log reads as a run of one VNet after another")
        ->check(CLI::Range(1, 64));
    app.set_version_flag("--version", std::string("dm.arm.switch_traffic ") + DM_VERSION +
                                          " (commit " + DM_BUILD_COMMIT + ")");
}

// The input file: the S3 value wins over --yaml_file; an empty --yaml_file counts as missing.
std::optional<std::string> chooseInputFile(const CommandOptions& o, int& status) {
    if (o.s3_yaml_download) {
        if (!Aws::downloadS3Yaml(*o.s3_yaml_download)) {
            std::cout << "Failed to download YAML File from S3 using the yaml info: "
                      << *o.s3_yaml_download << std::endl;
            status = 1;
            return std::nullopt;
        }
        return std::string("/tmp/discovery.yaml");
    }
    if (o.yaml_file && !o.yaml_file->empty())
        return *o.yaml_file;
    std::cout << "Missing input yaml! Please use --s3_yaml_download to download from S3  or "
                 "--yaml_file to specify the local filename"
              << std::endl;
    return std::string();
}

void configureLogging(RunContext& run) {
    LogLocation location = Common::initLogLocation(run.document);
    run.logFile = location.log_file;
    Record& config = location.logging_config;
    const bool debug = run.options.debug;
    auto& handlers = config["handlers"];
    handlers["consoleHandler"]["level"] = "INFO";
    if (debug) {
        handlers["consoleHandler"]["level"] = "DEBUG";
        handlers["logConsoleHandler"]["level"] = "DEBUG";
    }
    applyLoggingConfig(config);
    run.loggingConfigured = true;
}

void controllerLogin(RunContext& run) {
    auto [user, password] = Common::getCtrlCredential(run.options);
    const Record& telvane = config::requireKey(run.document, "telvane", "");
    const std::string controllerIp =
        textForm(config::requireKey(telvane, "controller_ip", "telvane."));
    run.apiBase = "https://" + controllerIp + "/v1/";
    Telvane::configure({Common::getControllerCaBundle(run.document), nullptr});
    run.cid = Telvane::getCid(controllerIp, user, password);
    run.secrets->add(run.cid);  // the login id opens the controller as the password does
    run.apiEndpointUrl = run.apiBase + "api";
}

void buildGlobalRecord(RunContext& run) {
    const Record& doc = run.document;
    const Record& st = config::requireKey(doc, "switch_traffic", "");
    Record& g = run.globalRecord;
    g = Record::object();
    g["allow_vnet_cidrs"] = Common::getAllowVpcCidr(doc);
    g["subscriptionMap"] = Common::getAzureSubscriptionInfo(doc);
    g["ctrl_private_ip"] = Common::getControllerPrivateIp(doc);
    g["default_route_table"] = Common::getPreStageDefaultRouteTable(doc);
    g["transitPeeringMap"] = Common::getTransitPeeringMap(doc);
    g["delete_vnet_lock"] = Common::getSWDeleteVnetLock(doc);
    g["delete_peering"] = config::requireKey(st, "delete_peering", "switch_traffic.");
    g["manage_terraform_import"] =
        config::requireKey(st, "manage_terraform_import", "switch_traffic.");
    YamlContext().setSubscriptionMap(g["subscriptionMap"]);
    Common::readGlobalConfigOption(doc, g);
    YamlContext().setGlobalContext(doc);  // the run's own document: nothing to copy
}

// Reports every problem, one line each: on standard output before logging is set up (as a
// failure that the run does not handle is), in the log after. The run ends with status 1.
int reportProblems(const RunContext& run, const std::vector<std::string>& lines) {
    AppExitStatus().markFailed();
    for (const std::string& line : lines) {
        if (run.loggingConfigured) {
            spdlog::get("dm")->error("**Error** " + line);
        } else {
            std::cout << "Error: " << text::escapeControl(line) << "\n";
        }
    }
    std::cout.flush();
    return AppExitStatus().getStatus();
}

// Every account's credential, before the first account changes anything: a subscription without
// a service principal, or whose secret cannot be read, stops the run here rather than halfway.
std::vector<std::optional<AzureCredential>> accountCredentials(const RunContext& run,
                                                               const Record& accounts,
                                                               config::Problems& problems) {
    std::vector<std::optional<AzureCredential>> credentials(accounts.size());
    for (size_t i = 0; i < accounts.size(); ++i) {
        problems.check([&] {
            const std::string where = "account_info[" + std::to_string(i) + "].";
            const std::string subscriptionId =
                textForm(config::requireKey(accounts[i], "subscription_id", where));
            credentials[i] = YamlContext().generateAzureCredential(subscriptionId);
            if (!credentials[i]) {
                throw ConfigError(run.inputPath + ": no Azure credential for subscription " +
                                  subscriptionId + " (" + where + "subscription_id)");
            }
        });
    }
    return credentials;
}

AccountContext prepareAccount(const RunContext& run, const Record& entry, size_t index,
                              std::optional<AzureCredential> credential) {
    const std::string where = "account_info[" + std::to_string(index) + "].";
    AccountContext account;
    account.index = index;
    account.entry = entry;
    Record& record = account.accountRecord;
    record = run.globalRecord;  // a deep copy: later changes never reach the global record

    const Record& subIdValue = config::requireKey(entry, "subscription_id", where);
    Common::logSubscription(textForm(subIdValue));
    account.subscriptionId = textForm(subIdValue);

    record["subscriptionInfo"] =
        Common::getSubscription(record["subscriptionMap"], account.subscriptionId, entry);
    account.subscriptionInfo = record["subscriptionInfo"];

    record["subscriptionId"] = subIdValue;
    record["provider"] =
        config::requireKey(account.subscriptionInfo, "alias", where + "subscriptionInfo.");
    record["vwan"] = config::requireKey(entry, "vwan", where);
    record["hpe"] = lowerTextForm(config::requireKey(entry, "hpe", where));
    const Record& maxHpe = config::requireKey(entry, "max_hpe_performance", where);
    record["max_hpe_performance"] = maxHpe.is_null() ? Record() : Record(lowerTextForm(maxHpe));

    account.credential = std::move(credential);
    account.targetLocation = Common::getTargetLocation(account.subscriptionInfo, run.document);
    Common::setupTargetFolder(run.document, run.inputPath, account.targetLocation);
    Terraform::setSwitchTrafficTargetFolder();
    return account;
}

}  // namespace

std::optional<int> parseCommandLine(const std::vector<std::string>& arguments,
                                    CommandOptions& options) {
    CLI::App app{"Switch subnet traffic to use new route tables", "dm.arm.switch_traffic"};
    std::string ctrlUser, s3Yaml, yamlFile;
    buildParser(app, options, ctrlUser, s3Yaml, yamlFile);
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : kUsageErrorStatus;
    }
    // Absent and empty differ: an empty --s3_yaml_download still asks for a download.
    if (app.count("--ctrl_user"))
        options.ctrl_user = ctrlUser;
    if (app.count("--s3_yaml_download"))
        options.s3_yaml_download = s3Yaml;
    if (app.count("--yaml_file"))
        options.yaml_file = yamlFile;
    return std::nullopt;
}

int runSwitchTraffic(RunContext& run, const std::vector<std::string>& arguments) {
    run.arguments = arguments;
    if (auto status = parseCommandLine(arguments, run.options))
        return *status;

    Globals::setRevert(run.options.revert);

    int status = 0;
    auto input = chooseInputFile(run.options, status);
    if (!input)
        return status;
    run.inputPath = *input;
    std::error_code ec;
    const auto inputStatus = std::filesystem::status(run.inputPath, ec);
    if (!std::filesystem::exists(inputStatus)) {
        std::cout << "YAML File " << run.inputPath << " does not exist" << std::endl;
        return 1;
    }
    // A folder, a device or a FIFO is refused without being opened: a read could block or
    // never end.
    if (!std::filesystem::is_regular_file(inputStatus)) {
        std::cout << "YAML File " << run.inputPath << " is not a regular file" << std::endl;
        return 1;
    }

    Common::convert_yaml_to_json(run.inputPath);  // becomes run.document
    // The whole document is checked before anything else happens; every problem is listed.
    try {
        Common::expectYamlType(run.document, "AZURE");
    } catch (const config::DocumentProblems& problems) {
        return reportProblems(run, problems.lines());
    }

    configureLogging(run);
    Common::logCommandOptions("dm.arm.switch_traffic " + text::join(arguments, " "));

    // One policy for every component; the transports and the account-folder writer enforce it.
    if (run.options.dry_run)
        run.dryRun.activate();
    controllerLogin(run);
    buildGlobalRecord(run);

    const Record& accounts = config::requireKey(run.document, "account_info", "");
    if (!accounts.is_array()) {
        throw ConfigError(run.inputPath + ": 'account_info' must be a list of accounts");
    }
    config::Problems problems;
    auto credentials = accountCredentials(run, accounts, problems);
    if (!problems.empty())
        return reportProblems(run, problems.lines());
    // Shown from here, once every prompt (the controller password) is answered; it goes whatever
    // way the run ends (the summary clears it first).
    struct ProgressScope {
        ProgressDisplay& progress;
        ~ProgressScope() { progress.finish(); }
    } progressScope{*run.progress};
    run.progress->start(!run.options.no_progress, [&run] { return run.exitStatus.errorCount(); });
    try {
        for (size_t i = 0; i < accounts.size(); ++i) {
            run.progress->beginAccount(
                textForm(config::requireKey(accounts[i], "subscription_id", "")), i + 1,
                accounts.size());
            AccountContext account = prepareAccount(run, accounts[i], i, std::move(credentials[i]));
            runAccount(run, account);
        }
    } catch (const ReportedFailure&) {
        logRunSummary(run);
        return AppExitStatus().getStatus();
    } catch (const std::exception& e) {
        // Reported here so that the summary comes last and counts it.
        AppExitStatus().markFailed();
        namedLogger("dm")->error("**Error** " + std::string(e.what()));
        logRunSummary(run);
        return AppExitStatus().getStatus();
    }
    logRunSummary(run);
    return AppExitStatus().getStatus();
}

}  // namespace dm::arm
