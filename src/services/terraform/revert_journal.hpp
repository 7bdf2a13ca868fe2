#pragma once
// The revert journal: what undoes a change is on disk before the change is sent.
//
// A switch builds the account's revert record in memory and stores it whole at the end. So that
// a crash or a kill at any moment still leaves a record that undoes every change already made,
// the journal is the run's `beforeChange` while an account runs: before the account's first
// change it stores the record as it is then (revert.json), and before every later change it
// appends to tmp/revert-journal.jsonl, fsynced, one line per record entry of the current VNet
// that changed since and one per switch step begun. A revert reads both; a switch that
// completes stores the whole record and removes the journal, so that revert.json alone is the
// record again. A revert notes there each VNet it finished, so a revert stopped part-way goes on
// where it stopped. docs/revert-record.md describes the file.

#include <map>
#include <optional>
#include <set>
#include <string>

#include "core/record.hpp"

namespace dm {

class RunContext;

// What the journal says of one VNet, by resource id.
struct VnetProgress {
    std::set<std::string> steps;  // switch steps begun
    bool reverted = false;        // its revert finished
    Record routing;               // the route tables last noted for it (null: none)
};

// The journal as read back.
struct JournalProgress {
    // A switch wrote the journal and did not complete: only the steps listed were begun.
    bool switchIncomplete = false;
    std::map<std::string, VnetProgress> vnets;
};

class RevertJournal {
  public:
    static constexpr const char* kJournalFile = "revert-journal.jsonl";

    // Journals the run's revert record in the current account folder until closeAccount: sets
    // run.beforeChange. A journal left without a revert record by an earlier run is removed.
    // Nothing is written in a dry run.
    static void openAccount(RunContext& run);
    static void closeAccount(RunContext& run);

    // The VNet whose record entries are watched: its resource id, its key in the record and its
    // Terraform file name; the spoke gateway's entry once its name is known.
    static void enterVnet(const std::string& vnetId, const std::string& vnetKey,
                          const std::string& tfFile);
    static void watchGateway(const std::string& gwName);
    // A switch step of the current VNet starts; made durable before its first change.
    static void beginStep(const std::string& step);
    // The route tables the current VNet's steps work on, for a later revert that can no longer
    // find them from the subnets; durable with the next change.
    static void noteRouting(const Record& routing);
    // The revert of the current VNet is done; durable at once.
    static void markReverted();

    // Makes what is pending durable: the record's first store, changed entries, steps begun.
    static void flush();

    // A revert record with each of its sections, empty.
    static Record newRecord();

    // While several VNets are in flight, each switch adds to a record of its own: the record's
    // sections, holding what the account's record already has under the VNet's key and Terraform
    // file (a VNet of the same name, committed before it). In the VNet's turn its entries join
    // the account's record, which then reads as if the VNets had run one after another.
    static Record vnetRecord(RunContext& run, const std::string& vnetKey,
                             const std::string& tfFile);
    static void commitVnetRecord(RunContext& run, const Record& own);

    // The journal of the account folder applied to `record` (its entries replace the record's);
    // nullopt when there is none. A line that cannot be read throws dm::Error naming the file
    // and line, except a last line cut short by a crash, which never preceded a change.
    static std::optional<JournalProgress> load(Record& record);
    // True when this account run stored the record ahead of its first change.
    static bool storedEarly();
    // Removes the journal: the record alone tells the account's state again.
    static void remove();
    static std::string path();
};

}  // namespace dm
