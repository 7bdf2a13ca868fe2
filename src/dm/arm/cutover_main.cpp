// dm.arm.switch_traffic: switch the traffic of Azure spoke VNets onto the controller's transit.
#include <malloc.h>

#include <iostream>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "core/log.hpp"
#include "dm/arm/startup.hpp"
#include "services/context/app_exit_status.hpp"

namespace {

// The one place that reports a failure the run did not handle: logged when logging is set up,
// printed before that. The run then ends with status 1.
int reportUnhandled(const dm::RunContext& run, const std::string& message) {
    dm::AppExitStatus().markFailed();
    if (run.loggingConfigured) {
        auto log = dm::namedLogger("dm");
        log->error("**Error** " + message);
        log->flush();
    } else {
        std::cout << "Error: " << message << std::endl;
    }
    return dm::AppExitStatus().getStatus();
}

}  // namespace

int main(int argc, char** argv) {
    // Parsed list pages reserve far more than they touch; mapped on their own, the untouched
    // part never becomes resident and a freed page goes back to the system at once. A fixed
    // threshold also stops glibc from moving such buffers into the heap after the first free.
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);
    std::vector<std::string> arguments(argv + 1, argv + argc);
    dm::RunContext run;
    dm::RunScope scope(run);
    int status;
    try {
        status = dm::arm::runSwitchTraffic(run, arguments);
    } catch (const std::exception& e) {
        status = reportUnhandled(run, e.what());
    } catch (...) {
        status = reportUnhandled(run, "unknown failure");
    }
    spdlog::shutdown();
    return status;
}
