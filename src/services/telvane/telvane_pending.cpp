// Placeholder until the controller client lands: every call fails with a clear message.
#include "core/error.hpp"
#include "services/telvane/telvane.hpp"

namespace dm {
namespace {
bool g_dryRun = false;
[[noreturn]] void unavailable() { throw Error("the controller client is not available in this build"); }
}  // namespace

Record RestResponse::json() const { return Record::parse(body_); }
void Telvane::configure(TelvaneOptions) {}
void Telvane::setDryRun() { g_dryRun = true; }
bool Telvane::isDryRun() { return g_dryRun; }
std::string Telvane::getCid(const std::string&, const std::string&, const std::string&) { unavailable(); }
Record Telvane::get_spoke_gw_adv_cidr(const std::string&, const std::string&) { unavailable(); }
std::set<std::string> Telvane::list_attached_spoke(const std::string&, const std::string&, const std::string&) { unavailable(); }
void Telvane::detach_spoke_from_transit_gw(const std::string&, const std::string&, const std::string&, const std::string&) { unavailable(); }
void Telvane::attach_spoke_to_transit_gw(const std::string&, const std::string&, const std::string&, const std::string&, const std::optional<std::string>&, const std::optional<std::string>&) { unavailable(); }
void Telvane::edit_gw_adv_cidr(const std::string&, const std::string&, const std::string&, const std::string&) { unavailable(); }
void Telvane::check_transit_received_cidr(const std::string&, const std::string&, const std::string&, const std::string&) { unavailable(); }
RestResponse Telvane::list_gateway_info(const std::string&, const std::string&, const std::string&) { unavailable(); }
RestResponse Telvane::list_accounts(const std::string&, const std::string&, const std::string&) { unavailable(); }
void Telvane::telvane_post(const std::string&, const Record&) { unavailable(); }
}  // namespace dm
