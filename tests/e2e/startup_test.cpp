// Start-up of the program: the command line, the input file choice and its failures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "emulator_process.hpp"
#include "process.hpp"

using dm::test::EmulatorProcess;
using dm::test::runProcess;

namespace {

const std::string kMissing =
    "Missing input yaml! Please use --s3_yaml_download to download from S3  or --yaml_file to "
    "specify the local filename\n";

std::filesystem::path tempDir() {
    return std::filesystem::temp_directory_path() / ("dm-e2e-" + std::to_string(getpid()));
}

// Removes this process's temporary files once its tests are done.
class TempCleanup : public ::testing::Environment {
  public:
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(tempDir(), ec);
    }
};
[[maybe_unused]] auto* const kCleanup = ::testing::AddGlobalTestEnvironment(new TempCleanup);

std::string writeTemp(const std::string& name, const std::string& content) {
    auto dir = tempDir();
    std::filesystem::create_directories(dir);
    auto path = dir / name;
    std::ofstream(path) << content;
    return path.string();
}

}  // namespace

TEST(StartupInput, MissingInputPrintsBothMessagesAndEndsWithOne) {
    auto r = runProcess(DM_PROGRAM, {});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, kMissing + "YAML File  does not exist\n");

    r = runProcess(DM_PROGRAM, {"--yaml_file", ""});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, kMissing + "YAML File  does not exist\n");

    r = runProcess(DM_PROGRAM, {"--yaml_file", "nosuch.yaml"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "YAML File nosuch.yaml does not exist\n");
}

TEST(StartupInput, InputThatIsNotARegularFileIsNeverRead) {
    std::filesystem::create_directories(tempDir());
    // Opening a FIFO without a writer would block the run.
    const std::string fifo = (tempDir() / "input.fifo").string();
    std::filesystem::remove(fifo);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {tempDir().string(), std::string("/dev/null"), fifo}) {
        auto r = runProcess(DM_PROGRAM, {"--yaml_file", path});
        EXPECT_EQ(r.exitCode, 1) << path;
        EXPECT_EQ(r.out, "YAML File " + path + " is not a regular file\n");
    }
}

TEST(StartupInput, S3ValueWinsEvenWhenEmpty) {
    auto yaml = writeTemp("present.yaml", "document_type: AZURE\n");
    auto r = runProcess(DM_PROGRAM, {"--s3_yaml_download", "", "--yaml_file", yaml});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("Failed to download YAML File from S3 using the yaml info: \n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("does not exist"), std::string::npos);
}

TEST(StartupCommandLine, HelpVersionAndUsageErrors) {
    auto r = runProcess(DM_PROGRAM, {"--help"});
    EXPECT_EQ(r.exitCode, 0);
    for (const char* text :
         {"Switch subnet traffic to use new route tables", "Telvane Controller username",
          "<s3_account>,<s3_role>,<s3_bucket>,<spoke_account>",
          "At the end of switch_traffic, upload the generated account folder into S3",
          "At the beginning of switch_traffic, download the archived account folder from S3",
          "specify input <yaml_file>", "revert route table migration",
          "Dry run traffic_switch logic and show what will be done", "Set logging to DEBUG",
          "Do not show the status line on a terminal's standard error"}) {
        EXPECT_NE(r.out.find(text), std::string::npos) << text;
    }

    r = runProcess(DM_PROGRAM, {"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("dm.arm.switch_traffic "), std::string::npos);
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\(commit [0-9a-z.+-]+\)\n)"))) << r.out;

    r = runProcess(DM_PROGRAM, {"--no_such_option"});
    EXPECT_EQ(r.exitCode, 64);
    EXPECT_NE(r.err.find("--no_such_option"), std::string::npos) << r.err;

    r = runProcess(DM_PROGRAM, {"--yaml_file"});
    EXPECT_EQ(r.exitCode, 64);
    EXPECT_NE(r.err.find("--yaml_file"), std::string::npos) << r.err;
}

TEST(StartupDocument, BadDocumentsGiveOneLineNamingTheFile) {
    auto malformed = writeTemp("malformed.yaml", "document_type: AZURE\naccount_info: [\n");
    auto r = runProcess(DM_PROGRAM, {"--yaml_file", malformed});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find(malformed), std::string::npos) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;

    auto otherType = writeTemp("aws.yaml", "document_type: AWS\naccount_info: []\n");
    r = runProcess(DM_PROGRAM, {"--yaml_file", otherType});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find(otherType), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("AWS"), std::string::npos) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;

    auto recursive = writeTemp("recursive.yaml", "r: &r [*r]\n");
    r = runProcess(DM_PROGRAM, {"--yaml_file", recursive});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "Error: " + recursive +
                         ":1:8: r[0]: recursive alias *r: it refers to a node that contains it\n");
}

TEST(StartupDocument, EveryProblemIsListedAndNothingIsChanged) {
    std::filesystem::create_directories(tempDir());
    EmulatorProcess emulator(DM_EMULATOR, DM_SOURCE_DIR "/examples/demo/topology.json",
                             tempDir().string());
    std::ifstream in(DM_SOURCE_DIR "/examples/demo/discovery.yaml.in");
    std::stringstream text;
    text << in.rdbuf();
    std::string yaml = text.str();
    // Three problems: the second VNet's CIDR, a security domain with a bell character in it, and
    // the advertisement of the second account, whose VNet alone would have been switched first.
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"10.11.250.0/26", "10.11.x.0/26"},
             {"domain: prod", "domain: \"prod\\a\""},
             {"tlvx_cidr: 10.13.250.0/26",
              "tlvx_cidr: 10.13.250.0/26\n        "
              "spoke_advertisement: [10.13.0.0/16, 10.14.0.0/33]"},
             {"@WORK@", tempDir().string()},
             {"@BASE_URL@", emulator.baseUrl()},
             {"@CA_FILE@", emulator.caFile()},
             {"@CONTROLLER@", emulator.controllerAddress()}}) {
        yaml = std::regex_replace(yaml, std::regex(from), to);
    }
    const std::string file = writeTemp("problems.yaml", yaml);
    emulator.admin("DELETE", "/admin/counters");

    auto r = runProcess(DM_PROGRAM, {"--yaml_file", file},
                        {{"DM_CTRL_PASSWORD", "demo-controller-password"},
                         {"DM_AZURE_CLIENT_SECRET", "demo-azure-secret"}});
    EXPECT_EQ(r.exitCode, 1);
    const std::string at = "Error: " + file + ": account_info[";
    EXPECT_EQ(r.out, at +
                         "0].vnets[1].tlvx_cidr: expected an IPv4 CIDR such as 10.1.0.0/26, or "
                         "\"\", found the string \"10.11.x.0/26\"\n" +
                         at +
                         "0].vnets[2].domain: expected a name without control characters, "
                         "found the string \"prod\\x07\"\n" +
                         at +
                         "1].vnets[0].spoke_advertisement[1]: expected CIDRs separated by "
                         "\",\", such as 10.0.0.0/16,10.1.0.0/16, found the string "
                         "\"10.14.0.0/33\"\n");
    // Not one request reached the cloud or the controller, so nothing was written.
    const auto counters = emulator.admin("GET", "/admin/counters");
    for (const char* kind : {"token", "arm_read", "arm_write", "resource_graph", "controller"})
        EXPECT_EQ(counters[kind], 0) << kind;
    EXPECT_TRUE(emulator.writeLog().empty());
}
