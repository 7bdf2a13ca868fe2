#include "services/terraform/revert_journal.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>

#include "core/error.hpp"
#include "core/log.hpp"
#include "services/context/globals.hpp"
#include "services/context/run_context.hpp"
#include "services/terraform/account_io.hpp"
#include "services/terraform/terraform.hpp"

namespace dm {
namespace {

namespace fs = std::filesystem;
using namespace terraform::detail;

constexpr fs::perms kJournalMode =
    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;

const char* const kSections[] = {"vnetid-tf-size", "gw_adv_cidr", "peering_prop", "peerings",
                                 "vhc_list"};

// What the account's journal is, shared by the VNets in flight; guarded, like the files, by the
// account folder's lock.
struct JournalState {
    bool open = false;
    bool recordStored = false;  // revert.json holds this account run's record
};

// What the journal keeps of the VNet being processed on this thread.
struct JournalVnet {
    bool flushing = false;
    std::string pending;  // lines not yet on disk
    std::string vnetId;
    // Watched entries of the VNet: (section, key) -> their text as last made durable.
    std::map<std::pair<std::string, std::string>, std::string> watched;
};

JournalState& state() {
    return currentRun().service<JournalState>();
}

JournalVnet& vnetState() {
    return currentRun().vnetService<JournalVnet>();
}

std::string line(const Record& record) {
    return record.dump() + "\n";
}

void watch(const char* section, const std::string& key) {
    vnetState().watched.emplace(std::make_pair(section, key), std::string());
}

// The watched entries whose text differs from what is durable, as journal lines; their new
// text is noted as durable.
std::string changedEntries(const Record& record, bool noteOnly) {
    std::string lines;
    for (auto& [where, durable] : vnetState().watched) {
        auto section = record.find(where.first);
        if (section == record.end())
            continue;
        auto entry = section->find(where.second);
        if (entry == section->end())
            continue;
        std::string text = entry->dump();
        if (text == durable)
            continue;
        if (!noteOnly) {
            lines +=
                line(Record{{"section", where.first}, {"key", where.second}, {"value", *entry}});
        }
        durable = std::move(text);
    }
    return lines;
}

}  // namespace

std::string RevertJournal::path() {
    return (fs::path(Terraform::revertInfoPath()).parent_path() / kJournalFile).string();
}

void RevertJournal::openAccount(RunContext& run) {
    JournalState& s = run.service<JournalState>();
    s = JournalState{};
    run.service<JournalVnet>() = JournalVnet{};
    if (run.dryRun.active())
        return;
    std::error_code ec;
    if (!Terraform::isRevertInfoExist() && fs::exists(path(), ec)) {
        // Left by a revert that finished, or a switch stopped before its first change.
        removeFile(path());
    }
    s.open = true;
    run.beforeChange = [] { flush(); };
}

void RevertJournal::closeAccount(RunContext& run) {
    run.beforeChange = nullptr;
    run.service<JournalState>() = JournalState{};
    run.service<JournalVnet>() = JournalVnet{};
}

void RevertJournal::enterVnet(const std::string& vnetId, const std::string& vnetKey,
                              const std::string& tfFile) {
    JournalVnet& s = vnetState();
    s.vnetId = vnetId;
    s.watched.clear();
    watch("vnetid-tf-size", tfFile);
    for (const char* section : {"peering_prop", "peerings", "vhc_list"})
        watch(section, vnetKey);
}

void RevertJournal::watchGateway(const std::string& gwName) {
    watch("gw_adv_cidr", gwName);
}

void RevertJournal::beginStep(const std::string& step) {
    JournalVnet& s = vnetState();
    if (state().open)
        s.pending += line(Record{{"vnet", s.vnetId}, {"step", step}});
}

void RevertJournal::noteRouting(const Record& routing) {
    JournalVnet& s = vnetState();
    if (state().open)
        s.pending += line(Record{{"vnet", s.vnetId}, {"routing", routing}});
}

void RevertJournal::markReverted() {
    JournalVnet& s = vnetState();
    if (!state().open)
        return;
    s.pending += line(Record{{"vnet", s.vnetId}, {"reverted", true}});
    flush();
}

void RevertJournal::flush() {
    RunContext& run = currentRun();
    // VNets in flight at once share the journal and the record file.
    auto folder = lockAccountFolder();
    JournalState& s = state();
    JournalVnet& v = vnetState();
    if (!s.open || v.flushing || run.dryRun.active() || !run.revertRecord)
        return;
    v.flushing = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{v.flushing};
    const Record& record = *run.revertRecord;
    // This VNet's own entries: the account's record, or its lane's part in a parallel switch.
    const Record& vnetRecord = *run.currentRevertRecord();
    if (!run.options.revert && !s.recordStored) {
        // The journal first: a revert.json without it would read as a complete switch.
        std::error_code ec;
        fs::create_directories(fs::path(path()).parent_path(), ec);
        if (ec)
            throw Error(fmt::format("cannot create {}: {}", fs::path(path()).parent_path().string(),
                                    ec.message()));
        // Entries the stored record will not hold (a lane's own) go to the journal with it.
        const bool inRecord = &vnetRecord == &record;
        appendDurably(
            path(),
            line(Record{{"switch", "started"}}) + v.pending + changedEntries(vnetRecord, inRecord),
            kJournalMode);
        v.pending.clear();
        replaceFile(Terraform::revertInfoPath(), record.dump(2) + "\n", kJournalMode);
        s.recordStored = true;
        return;
    }
    std::string lines = std::move(v.pending);
    v.pending.clear();
    if (!run.options.revert)
        lines += changedEntries(vnetRecord, false);
    if (!lines.empty())
        appendDurably(path(), lines, kJournalMode);
}

Record RevertJournal::newRecord() {
    Record record = Record::object();
    for (const char* section : kSections)
        record[section] = Record::object();
    return record;
}

Record RevertJournal::vnetRecord(RunContext& run, const std::string& vnetKey,
                                 const std::string& tfFile) {
    auto folder = lockAccountFolder();
    Record own = newRecord();
    if (!run.revertRecord)
        return own;
    for (const char* section : kSections) {
        auto entries = run.revertRecord->find(section);
        if (entries == run.revertRecord->end() || !entries->is_object())
            continue;
        for (const std::string& key : {vnetKey, tfFile}) {
            if (auto entry = entries->find(key); entry != entries->end())
                own[section][key] = *entry;
        }
    }
    return own;
}

void RevertJournal::commitVnetRecord(RunContext& run, const Record& own) {
    auto folder = lockAccountFolder();
    if (!run.revertRecord)
        return;
    Record& record = *run.revertRecord;
    for (const auto& [section, entries] : own.items()) {
        for (const auto& [key, value] : entries.items())
            record[section][key] = value;
    }
}

std::optional<JournalProgress> RevertJournal::load(Record& record) {
    const std::string file = path();
    auto bytes = readFileIfExists(file);
    if (!bytes)
        return std::nullopt;
    JournalProgress progress;
    size_t start = 0;
    for (size_t number = 1; start < bytes->size(); ++number) {
        size_t end = bytes->find('\n', start);
        const bool last = end == std::string::npos;
        std::string_view text =
            std::string_view(*bytes).substr(start, last ? std::string::npos : end - start);
        start = last ? bytes->size() : end + 1;
        Record entry;
        try {
            entry = Record::parse(std::string(text));
        } catch (const std::exception&) {
            if (last)
                break;  // cut short by a crash while it was written: never acted on
            throw Error(fmt::format("{}: line {} is not a journal entry", file, number));
        }
        const auto text_of = [&](const char* key) -> std::string {
            auto it = entry.find(key);
            if (it == entry.end() || !it->is_string())
                throw Error(
                    fmt::format("{}: line {}: \"{}\" is missing or not a text", file, number, key));
            return it->get<std::string>();
        };
        if (!entry.is_object())
            throw Error(fmt::format("{}: line {} is not a journal entry", file, number));
        if (entry.contains("switch")) {
            progress.switchIncomplete = true;
        } else if (entry.contains("section")) {
            const std::string section = text_of("section");
            if (std::find(std::begin(kSections), std::end(kSections), section) ==
                std::end(kSections)) {
                throw Error(
                    fmt::format("{}: line {}: unknown section \"{}\"", file, number, section));
            }
            if (!record[section].is_object())
                record[section] = Record::object();
            record[section][text_of("key")] = entry["value"];
        } else if (entry.contains("step")) {
            progress.vnets[text_of("vnet")].steps.insert(text_of("step"));
        } else if (entry.contains("routing")) {
            progress.vnets[text_of("vnet")].routing = entry["routing"];
        } else if (entry.contains("reverted")) {
            progress.vnets[text_of("vnet")].reverted = true;
        } else {
            throw Error(fmt::format("{}: line {} is not a journal entry", file, number));
        }
    }
    return progress;
}

bool RevertJournal::storedEarly() {
    return state().recordStored;
}

void RevertJournal::remove() {
    if (currentRun().dryRun.active())
        return;
    removeFile(path());
}

}  // namespace dm
