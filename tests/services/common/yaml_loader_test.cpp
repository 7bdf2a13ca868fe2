// Loading the discovery YAML: core-schema typing, key order, and the exact error texts.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>

#include "core/error.hpp"
#include "services/common/common.hpp"
#include "support/scoped.hpp"
#include "support/scoped_run.hpp"

namespace dm {
namespace {

using testing::TempDir;
using testing::writeFile;

class YamlLoaderTest : public ::testing::Test {
  protected:
    testing::ScopedRun run_;
    Record load(const std::string& text) {
        writeFile(dir_.file("d.yaml"), text);
        return Common::convert_yaml_to_json(dir_.file("d.yaml"));
    }
    // The ConfigError text for loading and checking `text`, with the folder cut off each line.
    std::string failure(const std::string& text) {
        try {
            Common::expectYamlType(load(text), "AZURE");
        } catch (const ConfigError& e) {
            std::string what = e.what();
            std::string folder = dir_.path().string() + "/";
            for (auto at = what.find(folder); at != std::string::npos; at = what.find(folder, at))
                what.erase(at, folder.size());
            return what;
        }
        return "no error";
    }
    TempDir dir_;
};

TEST_F(YamlLoaderTest, PlainScalarsFollowTheCoreSchema) {
    Record doc = load(
        "no: no\noff: off\nyes: yes\non: On\n"
        "t: true\nT: True\nTT: TRUE\nf: false\n"
        "n1: null\nn2: ~\nn3:\nn4: NULL\n"
        "i: 42\nneg: -7\nhex: 0x10\noct: 0o17\n"
        "fl: 1.0\nexp: 1e3\ninf: .inf\nninf: -.inf\nnan: .nan\n"
        "ip: 10.0.0.0/8\nver: 1.2.3\n");
    EXPECT_EQ(doc["no"], "no");
    EXPECT_EQ(doc["off"], "off");
    EXPECT_EQ(doc["yes"], "yes");
    EXPECT_EQ(doc["on"], "On");
    EXPECT_EQ(doc["t"], true);
    EXPECT_EQ(doc["T"], true);
    EXPECT_EQ(doc["TT"], true);
    EXPECT_EQ(doc["f"], false);
    for (const char* key : {"n1", "n2", "n3", "n4"})
        EXPECT_TRUE(doc[key].is_null()) << key;
    EXPECT_EQ(doc["i"], 42);
    EXPECT_TRUE(doc["i"].is_number_integer());
    EXPECT_EQ(doc["neg"], -7);
    EXPECT_EQ(doc["hex"], 16);
    EXPECT_EQ(doc["oct"], 15);
    EXPECT_TRUE(doc["fl"].is_number_float());
    EXPECT_EQ(doc["fl"].dump(), "1.0");
    EXPECT_EQ(doc["exp"], 1000.0);
    EXPECT_TRUE(std::isinf(doc["inf"].get<double>()) && doc["inf"].get<double>() > 0);
    EXPECT_TRUE(std::isinf(doc["ninf"].get<double>()) && doc["ninf"].get<double>() < 0);
    EXPECT_TRUE(std::isnan(doc["nan"].get<double>()));
    EXPECT_EQ(doc["ip"], "10.0.0.0/8");
    EXPECT_EQ(doc["ver"], "1.2.3");
}

TEST_F(YamlLoaderTest, QuotedAndTaggedScalarsKeepTheirText) {
    Record doc = load(
        "a: \"true\"\nb: 'null'\nc: \"123\"\nd: ''\ne: !!str 0x10\n"
        "f: |\n  yes\ng: !!float 3\nh: !!int \"12\"\n");
    EXPECT_EQ(doc["a"], "true");
    EXPECT_EQ(doc["b"], "null");
    EXPECT_EQ(doc["c"], "123");
    EXPECT_EQ(doc["d"], "");
    EXPECT_EQ(doc["e"], "0x10");
    EXPECT_EQ(doc["f"], "yes\n");
    EXPECT_TRUE(doc["g"].is_number_float());
    EXPECT_EQ(doc["h"], 12);
}

TEST_F(YamlLoaderTest, KeepsKeyOrderAndNesting) {
    Record doc = load("zeta: 1\nalpha:\n  - {b: 2, a: 1}\n  - x\nmid: [1, two]\n");
    EXPECT_EQ(doc.dump(), R"({"zeta":1,"alpha":[{"b":2,"a":1},"x"],"mid":[1,"two"]})");
    EXPECT_EQ(Common::document(), doc);
}

TEST_F(YamlLoaderTest, FileAndSyntaxErrorsNameTheFile) {
    try {
        Common::convert_yaml_to_json(dir_.file("missing.yaml"));
        FAIL() << "no error";
    } catch (const ConfigError& e) {
        EXPECT_EQ(std::string(e.what()),
                  dir_.file("missing.yaml") + ": cannot read YAML file: No such file or directory");
    }
    try {
        load("a: 1\nb: [1, 2\nc: 3\n");
        FAIL() << "no error";
    } catch (const ConfigError& e) {
        EXPECT_EQ(std::string(e.what()),
                  dir_.file("d.yaml") + ":3:2: malformed YAML: end of sequence flow not found");
    }
    try {
        load("a: 1\nb: 2\na: 3\n");
        FAIL() << "no error";
    } catch (const ConfigError& e) {
        EXPECT_EQ(std::string(e.what()), dir_.file("d.yaml") + ":3:1: duplicate key \"a\"");
    }
    // Neither is read: a FIFO without a writer would block, a device may never end.
    ASSERT_EQ(::mkfifo(dir_.file("fifo").c_str(), 0600), 0);
    for (const std::string& path : {dir_.file("fifo"), std::string("/dev/zero")}) {
        try {
            Common::convert_yaml_to_json(path);
            FAIL() << "no error for " << path;
        } catch (const ConfigError& e) {
            EXPECT_EQ(std::string(e.what()), path + ": cannot read YAML file: not a regular file");
        }
    }
}

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

// Nine levels, each a list of ten aliases of the one below: 10^9 nodes once expanded.
std::string aliasBomb() {
    std::string text = "a: &a [x, x, x, x, x, x, x, x, x, x]\n";
    for (char level = 'b'; level <= 'i'; ++level) {
        const std::string alias = std::string("*") + static_cast<char>(level - 1);
        text +=
            std::string(1, level) + ": &" + level + " [" + alias + repeat(", " + alias, 9) + "]\n";
    }
    return text;
}

TEST_F(YamlLoaderTest, HostileDocumentsAreRefusedAtOnceWithOneLine) {
    const std::string deepPath = "deep" + repeat("[0]", 99);
    const struct {
        const char* name;
        std::string text;
        std::string error;
    } cases[] = {
        {"alias inside its own anchor", "r: &r [*r]\n",
         "d.yaml:1:8: r[0]: recursive alias *r: it refers to a node that contains it"},
        {"alias deeper inside its own anchor", "ok: &ok 1\na: &a\n  b: [*ok, *a]\n",
         "d.yaml:3:12: a.b[1]: recursive alias *a: it refers to a node that contains it"},
        {"alias bomb", aliasBomb(),
         "d.yaml:6:36: f[7]: more than 1000000 nodes once aliases are expanded"},
        {"nesting", "deep: " + repeat("[", 100) + repeat("]", 100) + "\n",
         "d.yaml:1:106: " + deepPath + ": nested deeper than 100 levels"},
        {"nesting through an alias",
         "a: &a " + repeat("[", 60) + repeat("]", 60) + "\nb: " + repeat("[", 40) + "*a" +
             repeat("]", 40) + "\n",
         "d.yaml:2:44: b" + repeat("[0]", 40) + ": nested deeper than 100 levels"},
        {"second document", "document_type: AZURE\n---\nx: 1\n",
         "d.yaml:2:1: a second document starts here; the file must hold one document"},
    };
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(failure(c.text), c.error) << c.name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << c.name;
    }
}

TEST_F(YamlLoaderTest, AliasesAndNestingWithinTheLimitsLoad) {
    Record doc = load("base: &b {x: 1}\nuse: [*b, *b]\ndeep: " + repeat("[", 99) + "1" +
                      repeat("]", 99) + "\n");
    EXPECT_EQ(doc["use"].dump(), R"([{"x":1},{"x":1}])");
    Record innermost = doc["deep"];
    for (int level = 0; level < 99; ++level)
        innermost = Record(innermost[0]);
    EXPECT_EQ(innermost, 1);
}

// The smallest document that passes the checks; tests change one line of it.
const std::string kMinimal =
    "document_type: AZURE\n"
    "telvane: {controller_ip: 127.0.0.1, private_ip: 10.0.0.4}\n"
    "switch_traffic: {delete_peering: all, manage_terraform_import: false}\n"
    "account_info:\n"
    "  - subscription_id: sub-1\n"
    "    vwan: null\n"
    "    hpe: false\n"
    "    max_hpe_performance: null\n"
    "    vnets:\n"
    "      - {vnet_name: v1, tlvx_cidr: ''}\n";

std::string replace(std::string text, const std::string& from, const std::string& to) {
    auto pos = text.find(from);
    EXPECT_NE(pos, std::string::npos) << from;
    return text.replace(pos, from.size(), to);
}

TEST_F(YamlLoaderTest, DocumentChecksNameTheKeyPath) {
    EXPECT_EQ(failure(kMinimal), "no error");
    EXPECT_EQ(failure(replace(kMinimal, "document_type: AZURE", "document_type: AWS")),
              "d.yaml: document_type: expected \"AZURE\", found \"AWS\"");
    EXPECT_EQ(failure(replace(kMinimal, "document_type: AZURE\n", "")),
              "d.yaml: document_type: expected \"AZURE\", found none");
    EXPECT_EQ(failure("document_type: AZURE\ntelvane: {controller_ip: a, private_ip: b}\n"
                      "switch_traffic: {delete_peering: all, manage_terraform_import: true}\n"),
              "d.yaml: account_info: missing, expected a list of accounts");
    EXPECT_EQ(failure(replace(kMinimal, "subscription_id: sub-1", "subscription_id: [x]")),
              "d.yaml: account_info[0].subscription_id: expected a string, found a list");
    EXPECT_EQ(failure(replace(kMinimal, "    hpe: false\n", "")),
              "d.yaml: account_info[0].hpe: missing, expected a value (null is allowed)");
    EXPECT_EQ(failure(replace(kMinimal, "tlvx_cidr: ''", "tlvx_cidr: '', delete_vnet_lock: no")),
              "d.yaml: account_info[0].vnets[0].delete_vnet_lock: expected a boolean (true or "
              "false), found the string \"no\"");
    EXPECT_EQ(failure(replace(kMinimal, "tlvx_cidr: ''", "tlvx_cidr: '', configure_gw_name: true")),
              "d.yaml: account_info[0].vnets[0].spoke_gw_name: missing, expected a string\n"
              "d.yaml: account_info[0].vnets[0].transit_gw_name: missing, expected a string");
    EXPECT_EQ(failure(replace(kMinimal, "manage_terraform_import: false",
                              "manage_terraform_import: 'false'")),
              "d.yaml: switch_traffic.manage_terraform_import: expected a boolean (true or false), "
              "found the string \"false\"");
    EXPECT_EQ(failure(replace(kMinimal, "delete_peering: all, ", "")),
              "d.yaml: switch_traffic.delete_peering: missing, expected a string");
    EXPECT_EQ(failure(kMinimal + "allow_vnet_cidrs: [10.0.0.0/8, 10.1.0.1/16]\n"),
              "d.yaml: allow_vnet_cidrs[1]: expected a CIDR such as 10.0.0.0/8, found the string "
              "\"10.1.0.1/16\"");
    EXPECT_EQ(failure(kMinimal + "azure: {cloud: germany}\n"),
              "d.yaml: azure.cloud: expected one of public, china, usgovernment, custom, found "
              "the string \"germany\"");
}

TEST_F(YamlLoaderTest, NamesThatWouldLeaveTheirFolderAreRefused) {
    const std::string expected =
        "expected a name without \"/\", \"\\\", control characters, and not \".\" or "
        "\"..\", found the string ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"    hpe: false\n    alias: ../escaped\n",
         "account_info[0].alias: " + expected + "\"../escaped\""},
        {"    hpe: false\n    alias: '..'\n", "account_info[0].alias: " + expected + "\"..\""},
        {"    hpe: false\n    alias: \"a\\\\b\"\n",
         "account_info[0].alias: " + expected + "\"a\\b\""},
        {"    hpe: false\n    alias: \"x\\n**Error** y\"\n",
         "account_info[0].alias: " + expected + "\"x\\n**Error** y\""},
    };
    for (const auto& [insert, message] : cases)
        EXPECT_EQ(failure(replace(kMinimal, "    hpe: false\n", insert)), "d.yaml: " + message);
    EXPECT_EQ(failure(replace(kMinimal, "vnet_name: v1", "vnet_name: ../v1")),
              "d.yaml: account_info[0].vnets[0].vnet_name: " + expected + "\"../v1\"");
    EXPECT_EQ(failure(kMinimal + "subscriptions: [{subscription_id: sub-1, alias: a/b}]\n"),
              "d.yaml: subscriptions[0].alias: " + expected + "\"a/b\"");
    EXPECT_EQ(failure(replace(kMinimal, "    hpe: false\n", "    hpe: false\n    alias: a..b\n")),
              "no error");
}

TEST_F(YamlLoaderTest, TheExampleDocumentPassesTheChecks) {
    Record doc = Common::convert_yaml_to_json(DM_EXAMPLES_DIR "/discovery.yaml");
    EXPECT_NO_THROW(Common::expectYamlType(doc, "AZURE"));
    EXPECT_EQ(doc["s3"]["account"], "123456789012");
}

}  // namespace
}  // namespace dm
