// dm-cloud-emulator: serves the in-process emulator until SIGTERM, SIGINT or
// POST /admin/shutdown. The start contract is in docs/emulator.md.

#include <unistd.h>
#include <CLI/CLI.hpp>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "core/error.hpp"
#include "emulator.hpp"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int) {
    g_stop = 1;
}

dm::emu::Json readTopology(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw dm::Error("cannot read topology file " + path);
    }
    std::stringstream text;
    text << in.rdbuf();
    dm::emu::Json topology = dm::emu::Json::parse(text.str(), nullptr, false);
    if (topology.is_discarded()) {
        throw dm::Error("topology file " + path + " is not valid JSON");
    }
    return topology;
}

// Written to a temporary name and renamed, so a reader sees either no file or all of it.
void writeReadyFile(const std::string& path, const dm::emu::Json& info) {
    const std::string temp = path + ".tmp." + std::to_string(::getpid());
    {
        std::ofstream out(temp, std::ios::trunc);
        out << info.dump(2) << "\n";
        out.flush();
        if (!out) {
            throw dm::Error("cannot write ready file " + temp);
        }
    }
    std::filesystem::rename(temp, path);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Loopback HTTPS emulator of the Azure endpoints and the controller API"};
    std::string listen = "127.0.0.1:0";
    std::string topologyFile;
    std::string readyFile;
    dm::emu::EmulatorOptions options;
    std::string conflicts = "off";
    app.add_option("--listen", listen, "HOST:PORT to listen on (loopback; port 0 picks one)");
    app.add_option("--topology", topologyFile, "JSON topology to load at start");
    app.add_option("--ready-file", readyFile, "file written once serving (endpoints, CA, pid)");
    app.add_option("--state-dir", options.stateDir, "where the CA and key files go");
    app.add_option("--page-size", options.pageSize, "items per list page")
        ->check(CLI::PositiveNumber);
    app.add_option("--lro-polls", options.lroPolls, "polls an operation stays InProgress")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--latency-ms", options.latencyMs, "delay added to every request")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--request-log", options.requestLogSize,
                   "requests the request log keeps (0: none)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--conflicts", conflicts,
                   "write during an unfinished operation: off, 409 or 429")
        ->check(CLI::IsMember({"off", "409", "429"}));
    app.add_option("--profile", options.timing.profile,
                   "timing profile: uniform (--latency-ms, --lro-polls) or realistic")
        ->check(CLI::IsMember({"uniform", "realistic"}));
    app.add_option("--time-scale", options.timing.timeScale,
                   "realistic profile: every delay multiplied by this, in (0, 100]");
    app.add_option("--seed", options.timing.seed,
                   "realistic profile: the seed its delays are drawn from");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }

    try {
        const auto colon = listen.rfind(':');
        if (colon == std::string::npos) {
            throw dm::Error("--listen must be HOST:PORT, got " + listen);
        }
        dm::emu::checkTimingOptions(options.timing);
        options.host = listen.substr(0, colon);
        options.port = std::stoi(listen.substr(colon + 1));
        if (!topologyFile.empty()) {
            options.topology = readTopology(topologyFile);
        }
        dm::emu::Emulator emulator(options);
        emulator.start();
        emulator.updateSettings({{"conflicts", conflicts}});

        std::signal(SIGTERM, onSignal);
        std::signal(SIGINT, onSignal);
        if (!readyFile.empty()) {
            writeReadyFile(readyFile, emulator.readyInfo());
        }
        std::cerr << "dm-cloud-emulator: serving on " << emulator.baseUrl() << " (CA "
                  << emulator.caFile() << ")" << std::endl;
        while (g_stop == 0 && !emulator.shutdownRequested()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        emulator.stop();
        if (!readyFile.empty()) {
            std::error_code ec;
            std::filesystem::remove(readyFile, ec);
        }
        std::cerr << "dm-cloud-emulator: stopped" << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "dm-cloud-emulator: " << e.what() << std::endl;
        return 1;
    }
}
