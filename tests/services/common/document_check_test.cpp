// The start-up check of the whole document: every problem listed, one line each, and the values
// the tool uses meaningfully still accepted.

#include <gtest/gtest.h>

#include "services/common/common.hpp"
#include "services/common/config_check.hpp"
#include "support/scoped.hpp"
#include "support/scoped_run.hpp"

namespace dm {
namespace {

// Two VNets in one account; each case sets global options, the account's and the second VNet's.
std::string document(const std::string& global, const std::string& account,
                     const std::string& vnet2) {
    return "document_type: AZURE\n"
           "telvane: {controller_ip: 127.0.0.1, private_ip: 10.0.0.4}\n"
           "switch_traffic: {delete_peering: all, manage_terraform_import: false" +
           global + "}\naccount_info:\n  - {subscription_id: sub-1, hpe: false" + account +
           ",\n     vnets: [{vnet_name: v1, tlvx_cidr: 10.1.0.0/26, spoke_gw_name: gw-1, "
           "transit_gw_name: gw-t}, {vnet_name: v2" +
           vnet2 + "}]}\n";
}

TEST(DocumentCheck, ListsEveryProblemOfTheDocumentOneLineEach) {
    const std::string v2 = "account_info[0].vnets[1].";
    const std::string gateway =
        ": expected a gateway name (not empty, without \"/\", \"..\" or control characters), "
        "found the string ";
    const std::string tlvx =
        "tlvx_cidr: expected an IPv4 CIDR such as 10.1.0.0/26, or \"\", found the string ";
    const std::string cidrs =
        ": expected CIDRs separated by \",\", such as 10.0.0.0/16,10.1.0.0/16, found the string ";
    const std::string name = ": expected a name without control characters, found the string ";
    const std::string account = ", vwan: null, max_hpe_performance: null";
    const struct {
        std::string global, account, vnet2;
        std::vector<std::string> lines;  // without the "<file>: " that starts each
    } cases[] = {
        // Accepted as the tool uses them today.
        {", configure_gw_name: true, spoke_advertisement: ' 10.0.0.0/16 , fd00::/8,'",
         account,
         ", tlvx_cidr: '', configure_gw_name: false, spoke_gw_name: '', domain: '', "
         "spoke_advertisement: [10.2.0.0/16, '10.3.0.0/16,10.4.0.0/16']",
         {}},
        {"", account, ", tlvx_cidr: 10.11.x.0/26", {v2 + tlvx + "\"10.11.x.0/26\""}},
        {"",
         account,
         ", tlvx_cidr: 10.1.0.5/26, domain: \"prod\\a\"",
         {v2 + tlvx + "\"10.1.0.5/26\"", v2 + "domain" + name + "\"prod\\x07\""}},
        {", spoke_advertisement: 10.0.0.0/16;10.1.0.0/16",
         account,
         ", tlvx_cidr: fd00::/64, spoke_advertisement: [10.0.0.0/16, 10.0.0.0/33]",
         {"switch_traffic.spoke_advertisement" + cidrs + "\"10.0.0.0/16;10.1.0.0/16\"",
          v2 + tlvx + "\"fd00::/64\"", v2 + "spoke_advertisement[1]" + cidrs + "\"10.0.0.0/33\""}},
        {", configure_gw_name: true, transit_peering: {gw-a: '', \"gw\\tb\": gw-c}",
         account,
         ", tlvx_cidr: '', spoke_gw_name: '', transit_gw_name: a/b",
         {"switch_traffic.transit_peering.gw-a" + gateway + "\"\"",
          "switch_traffic.transit_peering.gw\\tb" + gateway + "\"gw\\tb\"",
          v2 + "spoke_gw_name" + gateway + "\"\"", v2 + "transit_gw_name" + gateway + "\"a/b\""}},
        {", subnet_groups: {\"g\\n1\": [s1]}, main_table_prefix: {v1: 7}",
         ", vwan: {x: 1}, max_hpe_performance: [true]",
         ", tlvx_cidr: [10.1.0.0/26]",
         {"switch_traffic.subnet_groups.g\\n1" + name + "\"g\\n1\"",
          "switch_traffic.main_table_prefix.v1: expected a string, found the number 7",
          "account_info[0].vwan: expected null, a boolean, a subscription id or a list of "
          "subscription ids, found a map",
          "account_info[0].max_hpe_performance: expected a text, a boolean, a number or null, "
          "found a list",
          v2 + "tlvx_cidr: expected a string, found a list"}},
    };
    for (const auto& c : cases) {
        testing::ScopedRun run;
        testing::TempDir dir;
        testing::writeFile(dir.file("d.yaml"), document(c.global, c.account, c.vnet2));
        std::vector<std::string> lines;
        try {
            Common::expectYamlType(Common::convert_yaml_to_json(dir.file("d.yaml")), "AZURE");
        } catch (const config::DocumentProblems& e) {
            for (const auto& line : e.lines())
                lines.push_back(line.substr(dir.file("d.yaml").size() + 2));
        }
        EXPECT_EQ(lines, c.lines) << c.global << c.vnet2;
    }
}

}  // namespace
}  // namespace dm
