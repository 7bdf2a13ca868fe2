#include "dm/arm/account_run.hpp"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>

#include <fmt/chrono.h>
#include <spdlog/spdlog.h>

#include "core/text.hpp"
#include "dm/arm/kept_listings.hpp"
#include "dm/arm/parallel_vnets.hpp"
#include "dm/arm/started_updates.hpp"
#include "dm/arm/vnet_pipeline.hpp"
#include "services/aws/aws.hpp"
#include "services/common/config_check.hpp"
#include "services/context/app_exit_status.hpp"
#include "services/context/globals.hpp"
#include "services/telvane/telvane.hpp"
#include "services/terraform/account_lock.hpp"
#include "services/terraform/revert_journal.hpp"
#include "services/terraform/revert_record_shape.hpp"
#include "services/terraform/terraform.hpp"

namespace dm::arm {
namespace {

std::shared_ptr<spdlog::logger> driverLog() {
    return spdlog::get("dm");
}

// VNet name -> VNet entry, in list order; a later entry of the same name replaces an earlier one.
Record buildVnetMap(const RunContext& run, const AccountContext& account) {
    const std::string where = "account_info[" + std::to_string(account.index) + "].";
    const Record& vnets = config::requireKey(account.entry, "vnets", where);
    Record map = Record::object();
    if (vnets.is_null())
        return map;
    if (!vnets.is_array())
        throw ConfigError(run.inputPath + ": '" + where + "vnets' must be a list");
    for (size_t i = 0; i < vnets.size(); ++i) {
        const std::string entryWhere = where + "vnets[" + std::to_string(i) + "].";
        map[textForm(config::requireKey(vnets[i], "vnet_name", entryWhere))] = vnets[i];
    }
    return map;
}

// The VNet names of the map (in YAML order) that name none of the subscription's VNets.
std::vector<std::string> vnetsNotFound(const Record& vnetMap,
                                       const std::vector<azure::ListItem<VirtualNetwork>>& vnets) {
    std::set<std::string> present;
    for (const auto& vnet : vnets)
        present.insert(vnet.name());
    std::vector<std::string> missing;
    for (const auto& item : vnetMap.items()) {
        if (!present.count(item.key()))
            missing.push_back(item.key());
    }
    return missing;
}

// Stores the record; when that fails, its content goes to the log so that nothing is lost.
void storeRevertRecord(const Record& record, AccountSummary& summary) {
    try {
        Terraform::storeRevertInfo(record);
        summary.revertRecordStored = !currentRun().dryRun.active();
    } catch (const std::exception& e) {
        driverLog()->error("**Error** Failed to store the revert record (" + std::string(e.what()) +
                           "); its content follows so that a revert can be prepared by hand:");
        driverLog()->error(record.dump());
        throw;
    }
}

void writeRunReport(const RunContext& run, const AccountSummary& s) {
    Record report = {
        {"subscription_id", s.subscriptionId},
        {"mode", run.options.revert ? "revert" : "switch"},
        {"dry_run", run.dryRun.active()},
        {"outcome", s.outcome},
        {run.options.revert ? "vnets_reverted" : "vnets_switched", s.done},
        {"vnets_skipped", s.skipped},
        {"vnets_failed", s.failed},
        {"vnets_not_found", s.notFound},
        {"error_lines", s.errorLines},
        {"revert_record", s.revertRecordStored ? Record(Terraform::revertInfoPath()) : Record()},
        {"log_file", run.logFile},
        {"finished_at",
         fmt::format("{:%Y-%m-%dT%H:%M:%SZ}",
                     fmt::gmtime(std::chrono::system_clock::to_time_t(run.clock())))}};
    const auto path = std::filesystem::path(s.targetLocation) / "switch-traffic-report.json";
    std::ofstream out(path);
    // ASCII only: a C1 control character in a name is shown escaped, as in the log.
    out << report.dump(2, ' ', true, Record::error_handler_t::replace) << "\n";
    if (!out)
        driverLog()->warn("**Alert** Cannot write the run report " + path.string());
}

void wrapUp(RunContext& run, AccountContext& account, const Record& revertRecord,
            AccountSummary& summary, size_t errorsBefore) {
    const bool revert = run.options.revert;
    // What was started and not waited on has settled by now, or is reported.
    checkStartedUpdates(true);
    bool reverted = false;
    if (!revert) {
        storeRevertRecord(revertRecord, summary);
        // The record alone tells the switched state from here on.
        RevertJournal::remove();
        if (isTrue(account.accountRecord["manage_terraform_import"])) {
            Terraform::runImportAssociationScript();
        }
    } else if (AppExitStatus().errorCount() > errorsBefore) {
        // Something may not be back: the record stays so that the revert can be run again.
        driverLog()->error("**Error** Account " + account.subscriptionId +
                           " is not fully reverted; " + Terraform::revertInfoPath() +
                           " is kept. Run dm.arm.switch_traffic --revert again once the errors "
                           "above are dealt with.");
        summary.revertRecordStored = true;
    } else {
        Terraform::deleteRevertInfo();
        RevertJournal::remove();
        reverted = true;
    }
    if (run.options.s3backup)
        Aws::uploadAllFiles(run.document, account.targetLocation, "switch");
    if (reverted) {
        Aws::deleteBucketObj(run.document, account.targetLocation,
                             "terraform-import-associations.sh");
        Aws::deleteBucketObj(run.document, account.targetLocation,
                             Globals::getRelativeTmpPath() + "/revert.json");
    }
}

}  // namespace

VnetEnd runVnet(const AccountVnets& job, const VirtualNetwork& vnet, TurnOrder* turns,
                size_t slot) {
    RunContext& run = job.run;
    const bool revert = run.options.revert;
    VnetRun v{
        run, job.account, job.client, vnet, job.vnetMap[vnet.name()], *run.currentRevertRecord()};
    v.turns = turns;
    v.slot = slot;
    prepareOptions(v, job.vnetMap);
    RevertJournal::enterVnet(vnet.id(), v.vnetKey, vnet.name() + ".tf");
    if (revert && job.progress) {
        auto known = job.progress->vnets.find(vnet.id());
        const VnetProgress* p = known == job.progress->vnets.end() ? nullptr : &known->second;
        if (p && !p->routing.is_null())
            v.notedRouting = &p->routing;
        if (p && p->reverted) {
            driverLog()->info("- " + vnet.name() + " was reverted by an earlier run -- skipped");
            return VnetEnd::DoneEarly;
        }
        if (job.progress->switchIncomplete) {
            if (!p || p->steps.empty()) {
                driverLog()->info("- " + vnet.name() +
                                  " was not changed by the switch, which stopped before it -- "
                                  "skipped");
                return VnetEnd::Unchanged;
            }
            v.switchSteps = &p->steps;
        }
    }
    if (revert) {
        runRevertPipeline(v);
        return VnetEnd::Done;
    }
    return runSwitchPipeline(v) ? VnetEnd::Done : VnetEnd::Skipped;
}

void runAccount(RunContext& run, AccountContext& account) {
    auto log = driverLog();
    const bool revert = run.options.revert;
    const size_t errorsBefore = AppExitStatus().errorCount();
    run.summaries.push_back(
        {account.subscriptionId, account.targetLocation, "stopped", {}, {}, {}, {}, 0, false});
    AccountSummary& summary = run.summaries.back();
    auto finish = [&](const char* outcome) {
        if (!summary.notFound.empty()) {
            log->warn("**Alert** VNet(s) of the YAML not found in subscription " +
                      account.subscriptionId + ": " + text::join(summary.notFound, ", "));
        }
        summary.outcome = outcome;
        summary.errorLines = AppExitStatus().errorCount() - errorsBefore;
        writeRunReport(run, summary);
    };

    // One run per account at a time; a dry run changes nothing and takes no lock.
    std::optional<AccountLock> lock;
    if (!run.dryRun.active()) {
        std::string holder;
        lock = AccountLock::tryAcquire(account.targetLocation, holder);
        if (!lock) {
            log->error("**Error** Account " + account.subscriptionId +
                       " is in use by another run (" + holder +
                       "); skipped. Run again once that run has ended.");
            return finish("refused");
        }
    }

    if (run.options.s3download) {
        run.progress->setAccountStep("S3 download");
        Aws::downloadAllFiles(run.document, account.targetLocation);
    }

    const bool recordExists = Terraform::isRevertInfoExist();
    if (!revert && recordExists) {
        log->warn("**Alert** revert.json found for account " + account.subscriptionId +
                  ". Please revert first (switch_traffic --revert) before rerunning "
                  "switch_traffic for this account.");
        return finish("refused");
    }
    if (revert && !recordExists) {
        log->warn("**Alert** revert.json NOT found for account " + account.subscriptionId +
                  ", nothing to revert for this account.");
        return finish("refused");
    }

    if (!run.spokeGwAdvCidr) {
        Record advMap = Telvane::get_spoke_gw_adv_cidr(run.apiEndpointUrl, run.cid);
        if (!advMap.is_null())
            run.spokeGwAdvCidr = std::move(advMap);
    }

    // The record lives in the run while the account does, so services reach it; it goes when
    // the account ends, whatever way, and so does its journal.
    struct AccountRecordScope {
        RunContext& run;
        ~AccountRecordScope() {
            RevertJournal::closeAccount(run);
            run.revertRecord.reset();
        }
    } recordScope{run};
    Record& revertRecord = run.revertRecord.emplace(RevertJournal::newRecord());
    // Read (and refused when it is no revert record) before the account folder changes.
    std::optional<JournalProgress> progress;
    if (revert) {
        revertRecord = Terraform::readRevertInfo();
        progress = RevertJournal::load(revertRecord);
        if (progress)
            requireRevertRecordShape(revertRecord, RevertJournal::path());
    }
    RevertJournal::openAccount(run);
    if (revert && isTrue(account.accountRecord["manage_terraform_import"])) {
        Terraform::runUndoImportAssociationScript();
    }
    Terraform::deleteSubnetAssociationTf();
    if (!revert)
        Terraform::deleteUndoSubnetAssociationTf();

    std::string current;
    try {
        NetworkManagementClient client(account.credential->getCSC(),
                                       account.credential->getSubId());
        const Record vnetMap = buildVnetMap(run, account);
        keptListings().startAccount();
        run.progress->setAccountStep("listing VNets");
        const auto keptVnets = keptListings().virtualNetworks(client);
        const auto& vnets = *keptVnets;
        summary.notFound = vnetsNotFound(vnetMap, vnets);
        run.progress->setVnetCount(
            static_cast<size_t>(std::count_if(vnets.begin(), vnets.end(), [&](const auto& listed) {
                return vnetMap.contains(listed.name());
            })));
        const AccountVnets job{run, account, client, vnetMap, progress};
        if (run.options.parallel > 1) {
            std::vector<VirtualNetwork> selected;
            for (const auto& listed : vnets) {
                if (vnetMap.contains(listed.name()))
                    selected.push_back(listed.resource());
            }
            runVnetsInParallel(job, selected, summary);
        } else {
            for (const auto& listed : vnets) {
                if (!vnetMap.contains(listed.name()))
                    continue;
                const VirtualNetwork vnet = listed.resource();
                current = vnet.name();
                // The VNet leaves the status line however its turn ends.
                struct InFlight {
                    ProgressDisplay& progress;
                    std::string vnet;
                    ~InFlight() { progress.endVnet(vnet); }
                } inFlight{*run.progress, current};
                run.progress->beginVnet(current);
                if (noteVnetEnd(summary, current, runVnet(job, vnet, nullptr, 0))) {
                    Terraform::syncFiles();
                    if (revert)
                        RevertJournal::markReverted();
                    checkStartedUpdates(false);
                }
                current.clear();
            }
        }
    } catch (...) {
        // The cause first, then what was kept, then the summary: every line counted.
        std::string reason;
        // Failures of VNets in flight at once are logged in their places already.
        bool logged = false;
        try {
            throw;
        } catch (const ReportedFailure&) {
            throw;
        } catch (const VnetsFailed& e) {
            reason = e.what();
            logged = true;
        } catch (const std::exception& e) {
            reason = e.what();
        } catch (...) {
            reason = "unknown failure";
        }
        AppExitStatus().markFailed();
        if (!logged)
            log->error("**Error** " + reason);
        // What the failed VNet wrote goes to disk too.
        try {
            Terraform::syncFiles();
        } catch (const std::exception& e) {
            log->error("**Error** " + std::string(e.what()));
        }
        if (!current.empty())
            summary.failed.push_back(current);
        // Peerings and hub connections already deleted are recorded nowhere else: keep the
        // record of what was changed so that a revert can undo it. The journal stays too: it
        // tells the revert which steps were begun.
        if (!revert && account.changesStarted && !run.dryRun.active()) {
            try {
                storeRevertRecord(revertRecord, summary);
                log->error("**Error** Account " + account.subscriptionId +
                           " is partly switched; what was changed is recorded in " +
                           Terraform::revertInfoPath() +
                           ". Run dm.arm.switch_traffic --revert to undo it.");
            } catch (...) {
            }
        }
        keptListings().endAccount();
        finish("stopped");
        throw ReportedFailure(reason);
    }

    run.progress->setAccountStep("wrap-up");
    wrapUp(run, account, revertRecord, summary, errorsBefore);
    keptListings().endAccount();
    finish("completed");
}

void logRunSummary(RunContext& run) {
    run.progress->finish();  // the summary is the run's last word
    auto log = driverLog();
    if (!log || run.summaries.empty())
        return;
    if (log->should_log(spdlog::level::debug)) {
        // What the requests cost inside the transport, against the process's CPU (the bench).
        const http::TransportStats sent = run.transports.stats();
        log->debug("transport: {} request(s), {:.1f} ms of CPU inside the transport", sent.requests,
                   static_cast<double>(sent.cpuNanoseconds) / 1e6);
    }
    const bool revert = run.options.revert;
    log->info(std::string("Summary") + (run.dryRun.active() ? " (dry run)" : "") + ":");
    for (const auto& s : run.summaries) {
        std::string line = "  account " + s.subscriptionId + ": " + s.outcome + "; " +
                           std::to_string(s.done.size()) +
                           (revert ? " VNet(s) reverted, " : " VNet(s) switched, ") +
                           std::to_string(s.skipped.size()) + " skipped, " +
                           std::to_string(s.failed.size()) + " failed";
        if (!s.failed.empty())
            line += " (" + text::join(s.failed, ", ") + ")";
        line += "; " + std::to_string(s.errorLines) + " error line(s)";
        if (!s.notFound.empty()) {
            line += "; " + std::to_string(s.notFound.size()) + " not found in Azure (" +
                    text::join(s.notFound, ", ") + ")";
        }
        log->info(line);
        if (s.revertRecordStored) {
            log->info("    revert record: " + s.targetLocation + "/" +
                      Globals::getRelativeTmpPath() + "/revert.json");
        }
        log->info("    run report: " + s.targetLocation + "/switch-traffic-report.json");
    }
    if (!run.logFile.empty())
        log->info("  log file: " + run.logFile);
}

}  // namespace dm::arm
