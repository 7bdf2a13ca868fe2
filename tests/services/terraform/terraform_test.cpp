// The Terraform service against a real temporary account folder: the revert record's durability,
// the deferred syncing of the generated files, the switch marker and file revert, the generated
// association files and scripts (run with a recording `terraform` stand-in first on PATH), dry
// run and unsafe names.
#include "services/terraform/terraform.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "core/error.hpp"
#include "services/common/common.hpp"
#include "services/context/globals.hpp"
#include "services/terraform/account_io.hpp"
#include "support/scoped_run.hpp"

namespace dm {
namespace {

namespace fs = std::filesystem;
namespace detail = terraform::detail;

const char* kVnetTf =
    "resource \"azurerm_virtual_network\" \"spoke1\" {\n"
    "  name          = \"spoke1\"\n"
    "  address_space = [\"10.1.0.0/16\"]\n"
    "}\n"
    "\n"
    "module \"spoke1\" {\n"
    "  source         = \"./modules/telvane-managed\"\n"
    "  switch_traffic = false\n"
    "}\n";

Record sampleRecord() {
    return Record::parse(R"({
      "vnetid-tf-size": {"spoke1.tf": {"size": 212, "sha256": "4f53cda18c2baa0c0354bb5f9a3ecbe5ed12ab4d8e11ba873c2f11161202b945"}},
      "gw_adv_cidr": {"spoke-gw": ["10.1.0.0/16", "10.2.0.0/24"]},
      "peering_prop": {"sub-1:spoke1": [{"localSubscriptionId": "sub-1", "localRgName": "rg",
        "localVnetName": "spoke1", "localPeeringName": "p1",
        "localPeering": {"name": "p1", "use_remote_gateways": true, "ratio": 0.25,
                         "remote_virtual_network": {"id": "/subscriptions/x"}}}]},
      "peerings": {},
      "vhc_list": {"sub-1:spoke1": [{"zeta": 1, "alpha": null, "hubSubscriptionId": "sub-h",
        "hubRgName": "rg-h", "hubName": "hub", "connectionName": "c",
        "connection": {"properties": {}}}]}
    })");
}

class TerraformTest : public ::testing::Test {
  protected:
    testing::ScopedRun run_;
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "dm-terraform-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        dir = root / "account";
        fs::create_directories(dir);
        Globals::setTargetFolder(dir.string());
        Terraform::setSwitchTrafficTargetFolder();
        logger = std::make_shared<spdlog::logger>(
            "dm.arm.terraform", std::make_shared<spdlog::sinks::ostream_sink_mt>(logs));
        logger->set_pattern("%l|%v");
        logger->set_level(spdlog::level::info);
        spdlog::drop("dm.arm.terraform");
        spdlog::register_logger(logger);
        oldPath = getenv("PATH");
    }

    void TearDown() override {
        Terraform::syncFiles();
        spdlog::drop("dm.arm.terraform");
        setenv("PATH", oldPath.c_str(), 1);
        fs::remove_all(root);
    }

    void write(const fs::path& path, const std::string& content) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    std::string read(const fs::path& path) {
        std::ostringstream out;
        out << std::ifstream(path, std::ios::binary).rdbuf();
        return out.str();
    }
    std::vector<std::string> tempFiles() {
        std::vector<std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            if (entry.path().extension() == ".tmp")
                found.push_back(entry.path().string());
        }
        return found;
    }
    std::vector<std::string> logLines() {
        std::vector<std::string> lines;
        std::istringstream in(logs.str());
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    std::string errorOf(const std::function<void()>& call) {
        try {
            call();
        } catch (const Error& e) {
            return e.what();
        }
        return "no error";
    }
    // A `terraform` stand-in first on PATH that records "cwd|arg|arg..." lines and prints the
    // addresses in `state` for "state list".
    fs::path installStandIn(const std::string& state = "", int importStatus = 0) {
        fs::path bin = root / "bin";
        fs::path record = root / "terraform-calls.txt";
        write(root / "state.txt", state);
        write(bin / "terraform",
              "#!/usr/bin/env bash\n"
              "(IFS='|'; printf '%s\\n' \"$PWD|$*\") >> '" +
                  record.string() +
                  "'\n"
                  "if [ \"$1\" = state ] && [ \"$2\" = list ]; then cat '" +
                  (root / "state.txt").string() +
                  "'; exit 0; fi\n"
                  "if [ \"$1\" = import ]; then echo \"stand-in import\"; exit " +
                  std::to_string(importStatus) + "; fi\n");
        fs::permissions(bin / "terraform", fs::perms::owner_all);
        setenv("PATH", (bin.string() + ":" + oldPath).c_str(), 1);
        return record;
    }
    Record association(const std::string& subnet, const std::string& table) {
        return Record{{"vnet_name", "spoke1"},
                      {"subnet_id",
                       "/subscriptions/sub-1/resourceGroups/rg/providers/Microsoft.Network/"
                       "virtualNetworks/spoke1/subnets/" +
                           subnet},
                      {"subnet_ref", "azurerm_subnet.spoke1_" + subnet + ".id"},
                      {"route_table_id",
                       "/subscriptions/sub-1/resourceGroups/rg/providers/"
                       "Microsoft.Network/routeTables/" +
                           table},
                      {"route_table_ref",
                       "module.spoke1.azurerm_route_table_telvane_managed[\"" + table + "\"].id"},
                      {"rname", "spoke1_" + subnet + "_" + table},
                      {"provider", "sub1"}};
    }

    fs::path root, dir;
    std::string oldPath;
    std::ostringstream logs;
    std::shared_ptr<spdlog::logger> logger;
};

TEST_F(TerraformTest, RevertRecordRoundTripKeepsKeyOrderAndTypes) {
    EXPECT_FALSE(Terraform::isRevertInfoExist());
    Record record = sampleRecord();
    Terraform::storeRevertInfo(record);
    EXPECT_TRUE(Terraform::isRevertInfoExist());
    EXPECT_EQ(Terraform::revertInfoPath(), (dir / "tmp" / "revert.json").string());
    Record back = Terraform::readRevertInfo();
    EXPECT_EQ(back.dump(), record.dump());
    EXPECT_TRUE(back["peering_prop"]["sub-1:spoke1"][0]["localPeering"]["ratio"].is_number_float());
    EXPECT_TRUE(back["vnetid-tf-size"]["spoke1.tf"]["size"].is_number_unsigned());
}

TEST_F(TerraformTest, InterruptedStoreLeavesOldRecordAndNextStoreKeepsPreviousGeneration) {
    Record first = sampleRecord();
    Terraform::storeRevertInfo(first);
    Record second = first;
    second["gw_adv_cidr"]["other-gw"] = Record::array({"192.168.0.0/24"});
    // A crash after the temporary file was written but before the rename.
    std::string secondText = second.dump(2);
    write(Terraform::revertInfoPath() + ".tmp", secondText.substr(0, secondText.size() / 2));
    EXPECT_EQ(Terraform::readRevertInfo().dump(), first.dump());

    Terraform::storeRevertInfo(second);
    EXPECT_EQ(Terraform::readRevertInfo().dump(), second.dump());
    EXPECT_EQ(Record::parse(read(Terraform::revertInfoPath() + ".prev")).dump(), first.dump());
    EXPECT_FALSE(fs::exists(Terraform::revertInfoPath() + ".tmp"));

    Terraform::deleteRevertInfo();
    EXPECT_FALSE(Terraform::isRevertInfoExist());
    EXPECT_EQ(Record::parse(read(Terraform::revertInfoPath() + ".prev")).dump(), second.dump());
    // A stray temporary file alone is no record.
    write(Terraform::revertInfoPath() + ".tmp", "{}");
    EXPECT_FALSE(Terraform::isRevertInfoExist());
}

TEST_F(TerraformTest, MissingOrCorruptRecordNamesFileAndPosition) {
    std::string path = Terraform::revertInfoPath();
    EXPECT_EQ(errorOf([] { Terraform::readRevertInfo(); }), "revert record not found: " + path);
    // Truncated: the parser stops one byte past the end.
    std::string truncated = R"({"vnetid-tf-size": {}, "gw_adv_cidr": {"gw": ["10.0.0.0/8",)";
    write(path, truncated);
    std::string end = std::to_string(truncated.size() + 1);
    EXPECT_EQ(errorOf([] { Terraform::readRevertInfo(); }),
              "corrupt revert record " + path + " at byte " + end +
                  ": parse error at line 1, column " + end +
                  ": syntax error while parsing value - unexpected end of input; expected '[', "
                  "'{', or a literal");
    // Malformed in the middle: nlohmann counts bytes from 1, so the offset is that of the "2".
    std::string malformed = R"({"peerings": {}, "vhc_list": {"k": [1 2]}})";
    write(path, malformed);
    std::string expected = "corrupt revert record " + path + " at byte " +
                           std::to_string(malformed.find("2]") + 1) + ": ";
    EXPECT_EQ(errorOf([] { Terraform::readRevertInfo(); }).substr(0, expected.size()), expected);
    write(path, "[1, 2]");
    EXPECT_EQ(errorOf([] { Terraform::readRevertInfo(); }), path + " holds no revert record map");
    // Readable by the parser, but not by the revert: a number beyond a double, too deep a nesting.
    write(path, R"({"gw_adv_cidr": {"gw": [1e999]}})");
    EXPECT_EQ(errorOf([] { Terraform::readRevertInfo(); }),
              "corrupt revert record " + path + ": number overflow parsing '1e999'");
    write(path, R"({"peerings": )" + std::string(100'000, '[') + std::string(100'000, ']') + "}");
    EXPECT_EQ(errorOf([] { Terraform::readRevertInfo(); }),
              "corrupt revert record " + path + ": nested deeper than 1024 levels");
}

TEST_F(TerraformTest, EntriesOfOneVnetAreRewrittenAtomicallyAndSyncedOnce) {
    fs::path tf = dir / "spoke1.tf";
    write(tf, kVnetTf);
    Terraform::syncFiles();
    const std::size_t fsyncsBefore = detail::fsyncCount();
    const std::size_t renamesBefore = detail::renameCount();
    Record record = Record::parse(R"({"vnetid-tf-size": {}, "gw_adv_cidr": {}, "peering_prop": {},
                                         "peerings": {}, "vhc_list": {}})");
    Terraform::updateSwitchTraffic("spoke1", true);
    Terraform::storeFileSize("spoke1.tf", record);
    Terraform::createImportAttachment("spoke1", "spoke-gw", "transit-gw");
    Terraform::createDomainAssociation("spoke1", "spoke-gw", "prod");
    const int kSubnets = 12;
    for (int i = 0; i < kSubnets; ++i)
        Terraform::createSubnetAssociationTf(association("s" + std::to_string(i), "rt"));

    // Sixteen changes to four files: one rename for the marker and one per created file, the
    // rest appended; none synced yet and no temporary file left.
    EXPECT_EQ(detail::renameCount(), renamesBefore + 4);
    EXPECT_EQ(detail::fsyncCount(), fsyncsBefore);
    EXPECT_EQ(detail::pendingSyncCount(), 4u);
    EXPECT_EQ(tempFiles(), std::vector<std::string>{});

    // The recorded state is the marked file before the appended resources.
    std::string vnet = read(tf);
    std::size_t kept = record["vnetid-tf-size"]["spoke1.tf"]["size"].get<std::size_t>();
    EXPECT_EQ(vnet.substr(0, kept),
              std::string(kVnetTf).replace(std::string(kVnetTf).find("false"), 5, "true"));
    EXPECT_EQ(vnet.substr(kept),
              "\nresource \"telvane_spoke_transit_attachment\" \"spoke-gw_transit-gw\" {\n"
              "  spoke_gw_name   = \"spoke-gw\"\n  transit_gw_name = \"transit-gw\"\n}\n"
              "\nresource \"telvane_segmentation_network_domain_association\" \"prod_spoke-gw\" "
              "{\n  network_domain_name = \"prod\"\n  attachment_name     = \"spoke-gw\"\n}\n");
    std::string associations = read(dir / Terraform::kAssociationTf);
    std::string importScript = read(dir / Terraform::kImportScript);
    std::string undoScript = read(dir / Terraform::kUndoImportScript);
    std::size_t last = 0;
    for (int i = 0; i < kSubnets; ++i) {
        std::string label = "spoke1_s" + std::to_string(i) + "_rt";
        std::size_t at = associations.find(
            "resource \"azurerm_subnet_route_table_association\" \"" + label + "\" {\n");
        ASSERT_NE(at, std::string::npos) << label;
        EXPECT_GT(at, last) << label;
        last = at;
        EXPECT_NE(importScript.find("\nadopt 'azurerm_subnet_route_table_association." + label +
                                    "' '/subscriptions/"),
                  std::string::npos);
        EXPECT_NE(
            undoScript.find("\nforget 'azurerm_subnet_route_table_association." + label + "'\n"),
            std::string::npos);
    }
    EXPECT_NE(importScript.find("\nadopt 'telvane_spoke_transit_attachment.spoke-gw_transit-gw' "
                                "'spoke-gw~transit-gw'\n"),
              std::string::npos);
    EXPECT_EQ(fs::status(dir / Terraform::kImportScript).permissions() & fs::perms::owner_exec,
              fs::perms::owner_exec);

    // One fsync per file and one for the folder; a second sync has nothing to do.
    Terraform::syncFiles();
    EXPECT_EQ(detail::fsyncCount(), fsyncsBefore + 5);
    EXPECT_EQ(detail::pendingSyncCount(), 0u);
    Terraform::syncFiles();
    EXPECT_EQ(detail::fsyncCount(), fsyncsBefore + 5);

    // Reads of a file written since the sync see a change made to it from outside.
    Terraform::updateSwitchTraffic("spoke1", false);
    write(tf, kVnetTf + std::string("# edited\n"));
    Terraform::updateSwitchTraffic("spoke1", true);
    EXPECT_EQ(read(tf).substr(read(tf).size() - 9), "# edited\n");
}

TEST_F(TerraformTest, GrowingFilesKeepTheirBytesAcrossAppendsAndSyncs) {
    write(dir / "spoke1.tf", kVnetTf);
    const std::size_t renames = detail::renameCount();
    Terraform::createImportAttachment("spoke1", "spoke-gw", "transit-gw");
    const std::string sub = "/subscriptions/sub-1/resourceGroups/rg/providers/Microsoft.Network/";
    std::string blocks, adopts, forgets;
    // Four VNets' worth: appends through the kept descriptor, and after each sync through a
    // descriptor opened on the file read again or, once it is large, still held in memory.
    for (int vnet = 0; vnet < 4; ++vnet) {
        for (int i = 0; i < 14; ++i) {
            std::string subnet = "s" + std::to_string(vnet) + "_" + std::to_string(i);
            std::string label = "spoke1_" + subnet + "_rt";
            Terraform::createSubnetAssociationTf(association(subnet, "rt"));
            blocks += "\nresource \"azurerm_subnet_route_table_association\" \"" + label +
                      "\" {\n  # " + sub + "virtualNetworks/spoke1/subnets/" + subnet + " -> " +
                      sub +
                      "routeTables/rt\n  provider       = azurerm.sub1\n"
                      "  subnet_id      = azurerm_subnet.spoke1_" +
                      subnet +
                      ".id\n  route_table_id = "
                      "module.spoke1.azurerm_route_table_telvane_managed[\"rt\"].id\n}\n";
            adopts += "adopt 'azurerm_subnet_route_table_association." + label + "' '" + sub +
                      "virtualNetworks/spoke1/subnets/" + subnet + "'\n";
            forgets += "forget 'azurerm_subnet_route_table_association." + label + "'\n";
        }
        Terraform::syncFiles();
    }
    Terraform::createDomainAssociation("spoke1", "spoke-gw", "prod");

    // One rename per created file (the association file and the two scripts); .tf appended.
    EXPECT_EQ(detail::renameCount(), renames + 3);
    EXPECT_EQ(tempFiles(), std::vector<std::string>{});
    fs::path associations = dir / Terraform::kAssociationTf;
    std::string text = read(associations);
    std::size_t first = text.find("\nresource ");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.substr(first), blocks);
    std::string script = read(dir / Terraform::kImportScript);
    EXPECT_EQ(script.substr(script.find("\n\nadopt") + 2),
              "adopt 'telvane_spoke_transit_attachment.spoke-gw_transit-gw' "
              "'spoke-gw~transit-gw'\n" +
                  adopts +
                  "adopt 'telvane_segmentation_network_domain_association.prod_spoke-gw' "
                  "'prod~spoke-gw'\n");
    std::string undo = read(dir / Terraform::kUndoImportScript);
    EXPECT_EQ(undo.substr(undo.find("\n\nforget") + 2),
              "forget 'telvane_spoke_transit_attachment.spoke-gw_transit-gw'\n" + forgets +
                  "forget 'telvane_segmentation_network_domain_association.prod_spoke-gw'\n");
    EXPECT_EQ(read(dir / "spoke1.tf").substr(0, std::string(kVnetTf).size()), kVnetTf);
    // What the service reads back from memory is what the disk holds.
    for (const char* name : {Terraform::kAssociationTf, Terraform::kImportScript, "spoke1.tf"})
        EXPECT_EQ(detail::readFileIfExists(dir / name), read(dir / name)) << name;

    // Still held in memory after the sync, then edited from outside: the edit stays, the next
    // entry follows it.
    Terraform::syncFiles();
    std::ofstream(associations, std::ios::app) << "# by hand\n";
    Terraform::createSubnetAssociationTf(association("late", "rt"));
    EXPECT_EQ(read(associations).substr(first),
              blocks +
                  "# by hand\n\nresource \"azurerm_subnet_route_table_association\" "
                  "\"spoke1_late_rt\" {\n  # " +
                  sub + "virtualNetworks/spoke1/subnets/late -> " + sub +
                  "routeTables/rt\n  provider       = azurerm.sub1\n"
                  "  subnet_id      = azurerm_subnet.spoke1_late.id\n  route_table_id = "
                  "module.spoke1.azurerm_route_table_telvane_managed[\"rt\"].id\n}\n");
    EXPECT_EQ(detail::renameCount(), renames + 3);
}

TEST_F(TerraformTest, AFailedAppendLeavesTheFileAsItWas) {
    fs::path path = dir / Terraform::kAssociationTf;
    Terraform::createSubnetAssociationTf(association("app", "rt"));
    Terraform::createSubnetAssociationTf(association("db", "rt"));
    const std::string before = read(path);
    const std::string scriptBefore = read(dir / Terraform::kImportScript);

    // A file size limit lets the entry's first bytes through, then fails the write.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = before.size() + 16;
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::string error =
        errorOf([&] { Terraform::createSubnetAssociationTf(association("web", "rt")); });
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(error, "cannot append to " + path.string() + ": File too large");
    EXPECT_EQ(read(path), before);
    EXPECT_EQ(read(dir / Terraform::kImportScript), scriptBefore);
    EXPECT_EQ(detail::readFileIfExists(path), before);

    // The same entry goes in whole next time.
    Terraform::createSubnetAssociationTf(association("web", "rt"));
    std::string after = read(path);
    const std::string entry =
        "\nresource \"azurerm_subnet_route_table_association\" \"spoke1_web_rt\" {\n  # ";
    EXPECT_EQ(after.substr(0, before.size() + entry.size()), before + entry);
    EXPECT_EQ(detail::readFileIfExists(path), after);
}

TEST_F(TerraformTest, AppendsSeeChangesMadeFromOutside) {
    fs::path path = dir / Terraform::kAssociationTf;
    Terraform::createSubnetAssociationTf(association("app", "rt"));
    Terraform::createSubnetAssociationTf(association("db", "rt"));
    const std::size_t renames = detail::renameCount();

    // Edited in place between two entries: the edit stays and the entry follows it.
    std::ofstream(path, std::ios::app) << "# kept by hand\n";
    Terraform::createSubnetAssociationTf(association("web", "rt"));
    std::string text = read(path);
    std::size_t edit = text.find("# kept by hand\n");
    ASSERT_NE(edit, std::string::npos);
    EXPECT_EQ(text.find("\nresource ", edit), edit + 15);
    EXPECT_NE(text.find("\"spoke1_web_rt\""), std::string::npos);

    // Replaced by another file: the entry goes after that file's content.
    write(dir / "other.tf", "# replaced\n");
    fs::rename(dir / "other.tf", path);
    Terraform::createSubnetAssociationTf(association("data", "rt"));
    text = read(path);
    EXPECT_EQ(text.rfind("# replaced\n\nresource \"azurerm_subnet_route_table_association\" "
                         "\"spoke1_data_rt\" {\n",
                         0),
              0u);
    // An entry of the replaced file is not taken as still there.
    Terraform::createSubnetAssociationTf(association("app", "rt"));
    EXPECT_NE(read(path).find("\"spoke1_app_rt\""), std::string::npos);
    EXPECT_EQ(detail::renameCount(), renames);

    // Changed between the read and the write, whether read from memory or, after a sync, from
    // disk: the caller's content replaces the file whole rather than its tail being appended to
    // bytes it never saw.
    for (bool synced : {false, true}) {
        if (synced)
            Terraform::syncFiles();
        std::string seen = *detail::readFileIfExists(path);
        std::ofstream(path, std::ios::app) << "# late\n";
        detail::appendFileDeferred(path, seen, "# entry\n", fs::perms::owner_read);
        EXPECT_EQ(read(path), seen + "# entry\n") << synced;
    }
    EXPECT_EQ(detail::renameCount(), renames + 2);
}

// Lines are looked up in an index while the file is held in memory; it must follow every change.
TEST_F(TerraformTest, LineChecksFollowTheFileAsItChanges) {
    const fs::path path = dir / "lines.sh";
    std::string storage;
    auto has = [&](std::string_view line) {
        std::string_view view = *detail::viewFileIfExists(path, storage);
        const bool indexed = detail::containsLine(path, view, line);
        // A copy of the same bytes is searched instead, and must agree.
        EXPECT_EQ(detail::containsLine(path, std::string(view), line), indexed) << line;
        return indexed;
    };
    detail::replaceFileDeferred(path, "alpha\nbeta", fs::perms::owner_read);
    EXPECT_TRUE(has("alpha"));
    EXPECT_TRUE(has("beta"));  // the last line, without its newline
    EXPECT_FALSE(has("alph"));
    EXPECT_FALSE(has("alpha\nbet"));
    EXPECT_TRUE(has("alpha\nbeta"));

    std::string view(*detail::viewFileIfExists(path, storage));
    detail::appendFileDeferred(path, view, "\ngamma\n" + std::string(5000, 'x') + "\n",
                               fs::perms::owner_read);
    EXPECT_TRUE(has("beta"));
    EXPECT_TRUE(has("gamma"));
    EXPECT_TRUE(has(std::string(5000, 'x')));

    detail::replaceFileDeferred(path, "delta\n", fs::perms::owner_read);
    EXPECT_FALSE(has("alpha"));
    EXPECT_FALSE(has("gamma"));
    EXPECT_TRUE(has("delta"));
    Terraform::syncFiles();
    std::ofstream(path, std::ios::app) << "epsilon\n";
    EXPECT_TRUE(has("epsilon"));
    EXPECT_TRUE(has("delta"));
}

TEST_F(TerraformTest, DurableChangesSyncThePendingFilesFirst) {
    write(dir / "spoke1.tf", kVnetTf);
    Terraform::updateSwitchTraffic("spoke1", true);
    Terraform::createSubnetAssociationTf(association("app", "rt"));
    ASSERT_EQ(detail::pendingSyncCount(), 4u);
    std::size_t fsyncs = detail::fsyncCount();
    // Four files and their folder, then the record, its folder (tmp/) being another one.
    Terraform::storeRevertInfo(sampleRecord());
    EXPECT_EQ(detail::pendingSyncCount(), 0u);
    EXPECT_EQ(detail::fsyncCount(), fsyncs + 5 + 2);

    Terraform::updateSwitchTraffic("spoke1", false);
    Terraform::deleteRevertInfo();
    EXPECT_EQ(detail::pendingSyncCount(), 0u);

    Terraform::createSubnetAssociationTf(association("db", "rt"));
    Terraform::deleteUndoSubnetAssociationTf();
    EXPECT_EQ(detail::pendingSyncCount(), 0u);
    EXPECT_EQ(tempFiles(), std::vector<std::string>{});
}

TEST_F(TerraformTest, FailuresLeaveNoTemporaryFileAndNothingPending) {
    // A non-empty folder where the file should be: the rename fails after the write.
    fs::create_directories(dir / "blocked" / "inside");
    const std::string expected = "cannot rename " + (dir / "blocked.tmp").string() + " to " +
                                 (dir / "blocked").string() + ": Is a directory";
    EXPECT_EQ(
        errorOf([&] { detail::replaceFileDeferred(dir / "blocked", "x", fs::perms::owner_read); }),
        expected);
    EXPECT_EQ(errorOf([&] { detail::replaceFile(dir / "blocked", "x", fs::perms::owner_read); }),
              expected);
    EXPECT_EQ(tempFiles(), std::vector<std::string>{});
    EXPECT_EQ(detail::pendingSyncCount(), 0u);

    // A folder gone before the sync: the error names it, the other file is still synced, and
    // nothing stays pending for a later sync to fail on again.
    fs::create_directories(dir / "gone");
    detail::replaceFileDeferred(dir / "gone" / "a.tf", "a\n", fs::perms::owner_read);
    detail::replaceFileDeferred(dir / "b.tf", "b\n", fs::perms::owner_read);
    fs::remove_all(dir / "gone");
    std::size_t fsyncs = detail::fsyncCount();
    EXPECT_EQ(errorOf([] { Terraform::syncFiles(); }),
              "cannot open folder " + (dir / "gone").string() + ": No such file or directory");
    EXPECT_EQ(detail::fsyncCount(), fsyncs + 3);  // both files and the account folder
    EXPECT_EQ(detail::pendingSyncCount(), 0u);
    EXPECT_EQ(read(dir / "b.tf"), "b\n");
}

TEST_F(TerraformTest, SwitchMarkerSetsAndClearsInPlace) {
    fs::path tf = dir / "spoke1.tf";
    EXPECT_TRUE(Common::isBeforeSwitchTraffic(tf.string()));  // no file: not switched
    write(tf, kVnetTf);
    EXPECT_TRUE(Common::isBeforeSwitchTraffic(tf.string()));
    Terraform::updateSwitchTraffic("spoke1", true);
    EXPECT_FALSE(Common::isBeforeSwitchTraffic(tf.string()));
    EXPECT_NE(read(tf).find("  switch_traffic = true\n}"), std::string::npos);
    Terraform::updateSwitchTraffic("spoke1", false);
    EXPECT_EQ(read(tf), kVnetTf);

    // Comments do not count; a missing attribute goes into the VNet's module block.
    write(tf,
          "# switch_traffic = true\n/*\nswitch_traffic = true\n*/\nmodule \"spoke1\" {\n"
          "  source = \"x\" # }\n}\n");
    EXPECT_TRUE(terraform::isBeforeSwitchTraffic(tf.string()));
    Terraform::updateSwitchTraffic("spoke1", true);
    EXPECT_EQ(read(tf),
              "# switch_traffic = true\n/*\nswitch_traffic = true\n*/\nmodule \"spoke1\" {\n"
              "  source = \"x\" # }\n  switch_traffic = true\n}\n");
    EXPECT_FALSE(terraform::isBeforeSwitchTraffic(tf.string()));
    // The "}" that closes the block may follow the value: set in place, not added a second time.
    write(tf, "module \"spoke1\" {\n  switch_traffic = false}\n");
    Terraform::updateSwitchTraffic("spoke1", true);
    EXPECT_EQ(read(tf), "module \"spoke1\" {\n  switch_traffic = true}\n");
    write(tf, "module \"spoke1\" { switch_traffic = false }\n");
    Terraform::updateSwitchTraffic("spoke1", true);
    EXPECT_EQ(read(tf), "module \"spoke1\" { switch_traffic = true }\n");

    write(dir / "bare.tf", "resource \"azurerm_virtual_network\" \"bare\" {\n}\n");
    EXPECT_EQ(errorOf([] { Terraform::updateSwitchTraffic("bare", true); }),
              (dir / "bare.tf").string() +
                  " has no switch_traffic attribute and no module \"bare\" block to hold one");
    EXPECT_EQ(errorOf([] { Terraform::updateSwitchTraffic("absent", true); }),
              "Terraform file not found: " + (dir / "absent.tf").string());
}

TEST_F(TerraformTest, RevertFileRestoresTheVnetFileByteForByte) {
    fs::path tf = dir / "spoke1.tf";
    write(tf, kVnetTf);
    Record record = Record::parse(R"({"vnetid-tf-size": {}, "gw_adv_cidr": {}, "peering_prop": {},
                                         "peerings": {}, "vhc_list": {}})");
    Terraform::updateSwitchTraffic("spoke1", true);
    Terraform::storeFileSize("spoke1.tf", record);
    Terraform::createImportAttachment("spoke1", "spoke-gw", "transit-gw");
    Terraform::createDomainAssociation("spoke1", "spoke-gw", "prod");
    std::string switched = read(tf);
    EXPECT_NE(switched.find("resource \"telvane_spoke_transit_attachment\" "
                            "\"spoke-gw_transit-gw\" {\n  spoke_gw_name   = \"spoke-gw\"\n"),
              std::string::npos);
    EXPECT_NE(switched.find("resource \"telvane_segmentation_network_domain_association\" "
                            "\"prod_spoke-gw\" {"),
              std::string::npos);
    // A second VNet of the same name must not move the recorded state forward.
    Terraform::storeFileSize("spoke1.tf", record);
    EXPECT_EQ(record["vnetid-tf-size"]["spoke1.tf"]["size"], std::string(kVnetTf).size() - 1);

    // Through the stored record, as a revert run reads it.
    Terraform::storeRevertInfo(record);
    Record stored = Terraform::readRevertInfo();
    Terraform::revertFile("spoke1.tf", stored);
    Terraform::updateSwitchTraffic("spoke1", false);
    EXPECT_EQ(read(tf), kVnetTf);
    // Again (a revert run again, the second VNet of one name): already as before the switch.
    Terraform::revertFile("spoke1.tf", stored);
    EXPECT_EQ(read(tf), kVnetTf);

    // No entry (a VNet the forward run skipped): nothing to undo.
    Terraform::revertFile("other.tf", stored);
}

TEST_F(TerraformTest, RevertFileRefusesAFileChangedInItsKeptPart) {
    fs::path tf = dir / "spoke1.tf";
    write(tf, kVnetTf);
    Record record = Record::parse(R"({"vnetid-tf-size": {}, "gw_adv_cidr": {}, "peering_prop": {},
                                         "peerings": {}, "vhc_list": {}})");
    Terraform::storeFileSize("spoke1.tf", record);
    std::string edited = std::string(kVnetTf) + "# added\n";
    edited[10] = 'X';
    write(tf, edited);
    EXPECT_EQ(errorOf([&] { Terraform::revertFile("spoke1.tf", record); }),
              "cannot revert " + tf.string() + ": its first " +
                  std::to_string(std::string(kVnetTf).size()) + " bytes changed since the switch");
    EXPECT_EQ(read(tf), edited);
    write(tf, "module {}\n");
    EXPECT_EQ(errorOf([&] { Terraform::revertFile("spoke1.tf", record); }),
              "cannot revert " + tf.string() + ": it has 10 bytes, fewer than the " +
                  std::to_string(std::string(kVnetTf).size()) + " recorded at the switch");
}

TEST_F(TerraformTest, AssociationFileAndScriptsForTwoRequests) {
    Terraform::createSubnetAssociationTf(association("app", "rt-app-new"));
    Terraform::createSubnetAssociationTf(association("db", "spoke1-main-1"));
    Terraform::createSubnetAssociationTf(association("db", "spoke1-main-1"));  // duplicate
    const std::string sub = "/subscriptions/sub-1/resourceGroups/rg/providers/Microsoft.Network/";
    EXPECT_EQ(
        read(dir / Terraform::kAssociationTf),
        "# Generated by dm.arm.switch_traffic: the subnet to route-table associations of "
        "the\n# switched VNets. terraform-import-associations.sh imports them into the "
        "state.\n"
        "\n"
        "resource \"azurerm_subnet_route_table_association\" \"spoke1_app_rt-app-new\" {\n"
        "  # " +
            sub + "virtualNetworks/spoke1/subnets/app -> " + sub +
            "routeTables/rt-app-new\n"
            "  provider       = azurerm.sub1\n"
            "  subnet_id      = azurerm_subnet.spoke1_app.id\n"
            "  route_table_id = module.spoke1.azurerm_route_table_telvane_managed"
            "[\"rt-app-new\"].id\n"
            "}\n"
            "\n"
            "resource \"azurerm_subnet_route_table_association\" \"spoke1_db_spoke1-main-1\" {\n"
            "  # " +
            sub + "virtualNetworks/spoke1/subnets/db -> " + sub +
            "routeTables/spoke1-main-1\n"
            "  provider       = azurerm.sub1\n"
            "  subnet_id      = azurerm_subnet.spoke1_db.id\n"
            "  route_table_id = module.spoke1.azurerm_route_table_telvane_managed"
            "[\"spoke1-main-1\"].id\n"
            "}\n");
    std::string script = read(dir / Terraform::kImportScript);
    EXPECT_EQ(script.substr(script.find("\n\nadopt") + 2),
              "adopt 'azurerm_subnet_route_table_association.spoke1_app_rt-app-new' '" + sub +
                  "virtualNetworks/spoke1/subnets/app'\n"
                  "adopt 'azurerm_subnet_route_table_association.spoke1_db_spoke1-main-1' '" +
                  sub + "virtualNetworks/spoke1/subnets/db'\n");
    std::string undo = read(dir / Terraform::kUndoImportScript);
    EXPECT_EQ(undo.substr(undo.find("\n\nforget") + 2),
              "forget 'azurerm_subnet_route_table_association.spoke1_app_rt-app-new'\n"
              "forget 'azurerm_subnet_route_table_association.spoke1_db_spoke1-main-1'\n");
    EXPECT_EQ(logLines().back(),
              "warning|  **Alert** association spoke1_db_spoke1-main-1 already in "
              "subnet-route-table-associations.tf -- skipped");

    Record bad = association("x", "t");
    bad["route_table_ref"] = "module.a.b\n}\nresource";
    EXPECT_EQ(errorOf([&] { Terraform::createSubnetAssociationTf(bad); }),
              "subnet association \"route_table_ref\" is not a plain reference: "
              "module.a.b\n}\nresource");
    bad.erase("rname");
    EXPECT_EQ(errorOf([&] { Terraform::createSubnetAssociationTf(bad); }),
              "subnet association request lacks the text \"rname\"");
}

TEST_F(TerraformTest, RevertRunTurnsAssociationsIntoRemovedBlocks) {
    Terraform::createSubnetAssociationTf(association("app", "rt-app-new"));
    Terraform::createSubnetAssociationTf(association("db", "rt-db-new"));
    Globals::setRevert(true);
    Terraform::deleteSubnetAssociationTf();
    EXPECT_FALSE(fs::exists(dir / Terraform::kAssociationTf));
    EXPECT_FALSE(fs::exists(dir / Terraform::kImportScript));
    std::string undo = read(dir / Terraform::kUndoAssociationTf);
    EXPECT_NE(undo.find("removed {\n  from = azurerm_subnet_route_table_association."
                        "spoke1_app_rt-app-new\n\n  lifecycle {\n    destroy = false\n  }\n}\n"),
              std::string::npos);
    EXPECT_NE(undo.find("from = azurerm_subnet_route_table_association.spoke1_db_rt-db-new\n"),
              std::string::npos);

    Globals::setRevert(false);
    Terraform::deleteUndoSubnetAssociationTf();
    EXPECT_FALSE(fs::exists(dir / Terraform::kUndoAssociationTf));
    EXPECT_FALSE(fs::exists(dir / Terraform::kUndoImportScript));
}

TEST_F(TerraformTest, ScriptsRunWithTheStandInInTheAccountFolder) {
    write(dir / "spoke1.tf", kVnetTf);
    Terraform::createSubnetAssociationTf(association("app", "rt-app-new"));
    Terraform::createDomainAssociation("spoke1", "spoke-gw", "it's ${prod}");
    fs::path calls = installStandIn("azurerm_subnet_route_table_association.spoke1_app_rt-app-new");
    Terraform::runImportAssociationScript();
    std::string cwd = fs::canonical(dir).string();
    std::string sub = "/subscriptions/sub-1/resourceGroups/rg/providers/Microsoft.Network/";
    EXPECT_EQ(read(calls),
              cwd + "|state|list\n" + cwd +
                  "|import|-input=false|telvane_segmentation_network_domain_association."
                  "it_s___prod__spoke-gw|it's ${prod}~spoke-gw\n");
    EXPECT_EQ(logLines().back(), "info|  stand-in import");
    EXPECT_NE(read(dir / "spoke1.tf").find("network_domain_name = \"it's $${prod}\""),
              std::string::npos);

    fs::remove(calls);
    Terraform::runUndoImportAssociationScript();
    EXPECT_EQ(read(calls), cwd + "|state|list\n" + cwd +
                               "|state|rm|azurerm_subnet_route_table_association.spoke1_app_rt-"
                               "app-new\n");

    installStandIn("", 3);
    EXPECT_EQ(errorOf([] { Terraform::runImportAssociationScript(); }),
              (dir / Terraform::kImportScript).string() + " failed with exit status 3");

    Terraform::deleteUndoSubnetAssociationTf();
    Terraform::runUndoImportAssociationScript();
    EXPECT_EQ(logLines().back(), "info|  terraform-undo-import-associations.sh not found in " +
                                     dir.string() + " -- skipped");
}

TEST_F(TerraformTest, DryRunWritesDeletesAndRunsNothing) {
    write(dir / "spoke1.tf", kVnetTf);
    Record forward = sampleRecord();
    forward["vnetid-tf-size"] = Record::object();
    Terraform::storeFileSize("spoke1.tf", forward);
    Terraform::createSubnetAssociationTf(association("app", "rt-app-new"));
    Terraform::createImportAttachment("spoke1", "spoke-gw", "transit-gw");
    Terraform::storeRevertInfo(forward);
    write(dir / Terraform::kUndoAssociationTf, "# undo\n");
    auto snapshot = [&] {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            if (entry.is_regular_file())
                files[entry.path().string()] = read(entry.path());
        }
        return files;
    };
    auto before = snapshot();
    fs::path calls = installStandIn();
    logs.str("");

    Terraform::setDryRun();
    Globals::setRevert(true);
    ASSERT_EQ(detail::pendingSyncCount(), 0u);
    const std::size_t fsyncs = detail::fsyncCount();
    Record record = Terraform::readRevertInfo();
    EXPECT_TRUE(Terraform::isRevertInfoExist());
    Terraform::updateSwitchTraffic("spoke1", true);
    Terraform::storeFileSize("spoke1.tf", record);
    Terraform::createImportAttachment("spoke1", "spoke-gw2", "transit-gw");
    Terraform::createDomainAssociation("spoke1", "spoke-gw", "prod");
    Terraform::createSubnetAssociationTf(association("db", "rt-db-new"));
    Terraform::runImportAssociationScript();
    Terraform::runUndoImportAssociationScript();
    Terraform::storeRevertInfo(record);
    Terraform::revertFile("spoke1.tf", record);
    Terraform::deleteSubnetAssociationTf();
    Terraform::deleteUndoSubnetAssociationTf();
    Terraform::deleteRevertInfo();
    Terraform::syncFiles();

    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(detail::pendingSyncCount(), 0u);
    EXPECT_EQ(detail::fsyncCount(), fsyncs);
    EXPECT_FALSE(fs::exists(calls));
    auto lines = logLines();
    ASSERT_EQ(lines.size(), 14u);
    for (const auto& line : lines)
        EXPECT_EQ(line.rfind("info|[dry-run] ", 0), 0u) << line;
}

TEST_F(TerraformTest, NamesThatLeaveTheAccountFolderAreRejected) {
    write(root / "evil.tf", kVnetTf);
    write(dir / "spoke1.tf", kVnetTf);  // so that only the bad name can make a call fail
    Record record = Record::parse(R"({"vnetid-tf-size": {
        "../evil.tf": {"size": 0, "sha256": ""}, "a/b.tf": {"size": 0, "sha256": ""}}})");
    for (std::string name : {"../evil", "a/b", "..", ""}) {
        EXPECT_THROW(Terraform::updateSwitchTraffic(name, true), Error) << name;
        EXPECT_THROW(Terraform::createImportAttachment(name, "gw", "tr"), Error) << name;
        EXPECT_THROW(Terraform::createImportAttachment("spoke1", name, "tr"), Error) << name;
        EXPECT_THROW(Terraform::createImportAttachment("spoke1", "gw", name), Error) << name;
        EXPECT_THROW(Terraform::createDomainAssociation(name, "gw", "d"), Error) << name;
        EXPECT_THROW(Terraform::createDomainAssociation("spoke1", name, "d"), Error) << name;
        Record request = association("app", "rt");
        request["vnet_name"] = name;
        EXPECT_THROW(Terraform::createSubnetAssociationTf(request), Error) << name;
        if (name.empty())
            continue;
        EXPECT_THROW(Terraform::storeFileSize(name + ".tf", record), Error) << name;
        EXPECT_THROW(Terraform::revertFile(name + ".tf", record), Error) << name;
    }
    EXPECT_EQ(read(dir / "spoke1.tf"), kVnetTf);
    EXPECT_EQ(errorOf([] { Terraform::updateSwitchTraffic("../evil", true); }),
              "invalid VNet name \"../evil\": it must be non-empty and contain no \"/\" or \"..\"");
    EXPECT_EQ(read(root / "evil.tf"), kVnetTf);
}

TEST_F(TerraformTest, DiscoveryInfoIsReadAgainWhenTheFileChanges) {
    fs::path path = dir / Terraform::kDiscoveryFile;
    EXPECT_EQ(errorOf([] { Terraform::readDiscoveryInfo(); }),
              "discovery information not found: " + path.string());
    write(
        path,
        R"({"rtbSubnetGwGroupInfos": {"/vnet1": {"rt1": [{"subnetId": "s1", "rtbName": "a"}]}}})");
    EXPECT_EQ(
        Terraform::readDiscoveryInfo()["rtbSubnetGwGroupInfos"]["/vnet1"]["rt1"][0]["rtbName"],
        "a");
    write(path, R"({"rtbSubnetGwGroupInfos": {}})");
    EXPECT_TRUE(Terraform::readDiscoveryInfo()["rtbSubnetGwGroupInfos"].empty());
    write(path, "{\"a\": tru}");
    EXPECT_EQ(errorOf([] {
                  Terraform::readDiscoveryInfo();
              }).rfind("corrupt discovery information " + path.string() + " at byte ", 0),
              0u);
}

}  // namespace
}  // namespace dm
