// After the demo's switch, each account folder is one consistent Terraform configuration: every
// resource, module and provider that the staging files and the generated files refer to is
// declared in the folder, and the files are as `terraform fmt` writes them (where terraform is
// installed).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "demo_fixture.hpp"

namespace fs = std::filesystem;
using dm::test::DemoWorkspace;
using dm::test::kDemoAccounts;
using dm::test::slurp;

namespace {

// The text with comments removed and the content of each string blanked: what is left of a
// reference is code.
std::string code(const std::string& text) {
    std::string out;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!inString && text[i] == '#') {
            i = std::min(text.find('\n', i), text.size()) - 1;
            continue;
        }
        if (text[i] == '"')
            inString = !inString;
        else if (inString && text[i] == '\\' && i + 1 < text.size())
            ++i;
        out += inString && text[i] != '"' ? ' ' : text[i];
    }
    return out;
}

// Every reference of the folder's .tf files ("file: reference") that no block of the folder
// declares: resource "type" "label", module "name", provider "name" { alias = "a" }.
std::vector<std::string> undeclared(const fs::path& dir, size_t& references) {
    static const std::regex declaration(
        R"re((?:^|\n)\s*(?:resource\s+"([^"]+)"\s+"([^"]+)"|module\s+"([^"]+)"|)re"
        R"re(provider\s+"([^"]+)"\s*\{[^}]*?\balias\s*=\s*"([^"]*)"))re");
    // The first two parts of a traversal: a.b of a.b.c["x"].d
    static const std::regex reference(R"((?:^|[^\w.\-])([A-Za-z_][\w-]*)\.([A-Za-z_][\w-]*))");
    static const std::set<std::string> notDeclared = {"var",  "local", "each",      "count",
                                                      "path", "self",  "terraform", "data"};
    using Iterator = std::sregex_iterator;
    std::set<std::string> declared;
    std::map<std::string, std::string> referencedIn;
    for (const auto& f : fs::directory_iterator(dir)) {
        if (f.path().extension() != ".tf")
            continue;
        const std::string text = slurp(f.path()), bare = code(text);
        for (Iterator m(text.begin(), text.end(), declaration); m != Iterator(); ++m) {
            declared.insert((*m)[1].matched   ? (*m)[1].str() + "." + (*m)[2].str()
                            : (*m)[3].matched ? "module." + (*m)[3].str()
                                              : (*m)[4].str() + "." + (*m)[5].str());
        }
        for (Iterator m(bare.begin(), bare.end(), reference); m != Iterator(); ++m) {
            if (!notDeclared.count((*m)[1]))
                referencedIn.emplace((*m)[1].str() + "." + (*m)[2].str(),
                                     f.path().filename().string());
        }
    }
    references = referencedIn.size();
    std::vector<std::string> missing;
    for (const auto& [name, file] : referencedIn) {
        if (!declared.count(name))
            missing.push_back(file + ": " + name);
    }
    return missing;
}

// One switch of the demo for every test of the suite.
class DemoTerraform : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        demo_ = new DemoWorkspace();
        switch_ = demo_->tool();
    }
    static void TearDownTestSuite() {
        delete demo_;
        demo_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(switch_.exitCode, 0) << switch_.out << switch_.err; }

    static fs::path folder(const std::string& alias) { return demo_->work() / "output" / alias; }

    static inline DemoWorkspace* demo_ = nullptr;
    static inline dm::test::ProcessResult switch_;
};

TEST_F(DemoTerraform, EveryReferenceIsDeclaredInItsAccountFolder) {
    for (const std::string& alias : kDemoAccounts) {
        ASSERT_TRUE(fs::exists(folder(alias) / "subnet-route-table-associations.tf")) << alias;
        size_t references = 0;
        EXPECT_EQ(undeclared(folder(alias), references), std::vector<std::string>()) << alias;
        EXPECT_GE(references, 5u) << alias;
        // The module refers to its own blocks only.
        EXPECT_EQ(undeclared(folder(alias) / "modules/telvane-managed", references),
                  std::vector<std::string>());
    }
    // The check finds what is missing, and only that.
    const fs::path probe = folder("hub-central") / "probe.tf";
    std::ofstream(probe) << "resource \"x_y\" \"z\" { # azurerm_subnet.in_comment\n"
                            "  a = [azurerm_subnet.nope.id, module.gone.b[\"q.r\"], x_y.z]\n"
                            "  provider = azurerm.elsewhere\n}\n";
    size_t references = 0;
    EXPECT_EQ(undeclared(folder("hub-central"), references),
              (std::vector<std::string>{"probe.tf: azurerm.elsewhere",
                                        "probe.tf: azurerm_subnet.nope", "probe.tf: module.gone"}));
    fs::remove(probe);
}

TEST_F(DemoTerraform, FilesAreAsTerraformFmtWritesThem) {
    const std::map<std::string, std::string> env = {{"CHECKPOINT_DISABLE", "1"}};
    if (dm::test::runProcess("/usr/bin/env", {"terraform", "version"}, env).exitCode == 127)
        GTEST_SKIP() << "terraform is not installed: the format check of the account folders "
                        "needs `terraform fmt`";
    for (const std::string& alias : kDemoAccounts) {
        auto r = dm::test::runProcess(
            "/usr/bin/env", {"terraform", "fmt", "-check", "-diff", "-recursive", folder(alias)},
            env);
        EXPECT_EQ(r.exitCode, 0) << alias << "\n" << r.out << r.err;
    }
}

}  // namespace
