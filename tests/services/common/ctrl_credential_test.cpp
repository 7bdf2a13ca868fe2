// Controller credential: user precedence, password sources, and that the password leaks nowhere.

#include <gtest/gtest.h>

#include <cstdio>

#include "core/error.hpp"
#include "services/common/common.hpp"
#include "support/log_capture.hpp"
#include "support/scoped.hpp"

namespace dm {
namespace {

using testing::ScopedEnv;

class CtrlCredentialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // No terminal: the prompt must never wait for input here.
        ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    }
    Record doc(const std::string& telvane) {
        return Record::parse(R"({"telvane": {"controller_ip": "127.0.0.1")" + telvane + "}}");
    }
    testing::TempDir dir_;
    ScopedEnv noDefault_{"DM_CTRL_PASSWORD", std::nullopt};
};

TEST_F(CtrlCredentialTest, UserFromTheOptionElseTheDocument) {
    ScopedEnv env("DM_CTRL_PASSWORD", "s3cret");
    CommandOptions options;
    EXPECT_EQ(Common::getCtrlCredential(options, doc(R"(, "user": "yaml-user")")),
              std::make_pair(std::string("yaml-user"), std::string("s3cret")));
    options.ctrl_user = "cli-user";
    EXPECT_EQ(Common::getCtrlCredential(options, doc(R"(, "user": "yaml-user")")).first,
              "cli-user");
    options.ctrl_user.reset();
    try {
        Common::getCtrlCredential(options, doc(""));
        FAIL() << "no error";
    } catch (const ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find(
                      "telvane.user: missing, expected a string (or the --ctrl_user option)"),
                  std::string::npos)
            << e.what();
    }
}

TEST_F(CtrlCredentialTest, PasswordFromTheNamedVariableThenTheFile) {
    testing::writeFile(dir_.file("pw"), "from-file\n");
    std::string fileKey = R"(, "user": "u", "password_file": ")" + dir_.file("pw") + "\"";
    CommandOptions options;

    EXPECT_EQ(Common::getCtrlCredential(options, doc(fileKey)).second, "from-file");
    {
        ScopedEnv env("DM_CTRL_PASSWORD", "from-default-env");
        EXPECT_EQ(Common::getCtrlCredential(options, doc(fileKey)).second, "from-default-env");
    }
    {
        ScopedEnv env("MY_PW", "from-named-env");
        ScopedEnv other("DM_CTRL_PASSWORD", "ignored");
        EXPECT_EQ(Common::getCtrlCredential(options, doc(fileKey + R"(, "password_env": "MY_PW")"))
                      .second,
                  "from-named-env");
    }
    // An empty variable counts as unset.
    ScopedEnv empty("DM_CTRL_PASSWORD", "");
    EXPECT_EQ(Common::getCtrlCredential(options, doc(fileKey)).second, "from-file");
}

TEST_F(CtrlCredentialTest, NoSourceIsAClearErrorWithoutThePassword) {
    CommandOptions options;
    try {
        Common::getCtrlCredential(options, doc(R"(, "user": "u", "password_env": "MY_PW")"));
        FAIL() << "no error";
    } catch (const ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find(
                      ": no controller password: set the environment variable MY_PW, name a file "
                      "in telvane.password_file, or run from a terminal"),
                  std::string::npos)
            << e.what();
    }
    try {
        Common::getCtrlCredential(
            options, doc(R"(, "user": "u", "password_file": ")" + dir_.file("none") + "\""));
        FAIL() << "no error";
    } catch (const ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find("telvane.password_file: cannot read controller "
                                             "password file " +
                                             dir_.file("none") + ": No such file or directory"),
                  std::string::npos)
            << e.what();
    }
}

TEST_F(CtrlCredentialTest, PasswordNeverReachesALogLine) {
    testing::LogCapture capture({"dm", "dm.arm.commonlib"}, spdlog::level::trace);
    ScopedEnv env("DM_CTRL_PASSWORD", "Pa55-word");
    CommandOptions options;
    options.ctrl_user = "u";
    Common::logCommandOptions("dm.arm.switch_traffic --ctrl_user u");
    auto credential = Common::getCtrlCredential(options, doc(""));
    EXPECT_EQ(credential.second, "Pa55-word");
    EXPECT_FALSE(capture.contains("Pa55-word"));
}

}  // namespace
}  // namespace dm
