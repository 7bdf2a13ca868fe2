#include "platform/aws/log.hpp"

#include "platform/http/log.hpp"

namespace dm::aws {

std::shared_ptr<spdlog::logger> awsLogger() { return http::namedLogger(kLoggerName); }

}  // namespace dm::aws
