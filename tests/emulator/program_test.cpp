// The dm-cloud-emulator program: start contract, ready file, shutdown.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "emulator.hpp"

namespace dm::emu::testing {
namespace {

namespace fs = std::filesystem;

class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("emu-program-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::ofstream(dir / "topology.json")
            << R"({"subscriptions": [{"id": "s1"}], "controller": {}})";
    }
    void TearDown() override {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        fs::remove_all(dir);
    }

    void launch(const std::string& topology) {
        pid = ::fork();
        if (pid == 0) {
            const std::string topo = (dir / topology).string();
            const std::string ready = (dir / "ready.json").string();
            const std::string state = (dir / "state").string();
            ::execl(DM_EMULATOR_BIN, DM_EMULATOR_BIN, "--listen", "127.0.0.1:0", "--topology",
                    topo.c_str(), "--ready-file", ready.c_str(), "--state-dir", state.c_str(),
                    "--page-size", "7", static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }

    Json waitReady() {
        for (int i = 0; i < 200; ++i) {
            std::ifstream in(dir / "ready.json");
            if (in) {
                return Json::parse(in);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "no ready file";
        return Json::object();
    }

    int waitExit() {
        for (int i = 0; i < 200; ++i) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -2;
    }

    fs::path dir;
    pid_t pid = -1;
};

TEST_F(ProgramTest, ServesUntilAdminShutdownAndWritesTheReadyFile) {
    launch("topology.json");
    Json ready = waitReady();
    EXPECT_EQ(ready["ca_file"], (dir / "state" / "ca.pem").string());
    EXPECT_EQ(ready["pid"], pid);
    const std::string address = ready["controller_address"];
    const int port = std::stoi(address.substr(address.find(':') + 1));
    EXPECT_EQ(ready["base_url"], "https://" + address);
    EXPECT_EQ(ready["admin_url"], "https://" + address + "/admin");

    httplib::SSLClient cli("127.0.0.1", port);
    cli.set_ca_cert_path(ready["ca_file"].get<std::string>().c_str());
    cli.enable_server_certificate_verification(true);
    auto settings = cli.Get("/admin/settings");
    ASSERT_TRUE(settings) << "TLS with the CA file failed";
    EXPECT_EQ(Json::parse(settings->body)["page_size"], 7);
    auto state = cli.Get("/admin/state");
    ASSERT_TRUE(state);
    EXPECT_EQ(Json::parse(state->body)["subscriptions"][0]["id"], "s1");

    ASSERT_TRUE(cli.Post("/admin/shutdown", "{}", "application/json"));
    EXPECT_EQ(waitExit(), 0);
    EXPECT_FALSE(fs::exists(dir / "ready.json"));
}

TEST_F(ProgramTest, StopsCleanlyOnSigterm) {
    launch("topology.json");
    waitReady();
    ::kill(pid, SIGTERM);
    EXPECT_EQ(waitExit(), 0);
}

TEST_F(ProgramTest, UnreadableTopologyEndsWithStatusOne) {
    launch("missing.json");
    EXPECT_EQ(waitExit(), 1);
    EXPECT_FALSE(fs::exists(dir / "ready.json"));
}

}  // namespace
}  // namespace dm::emu::testing
