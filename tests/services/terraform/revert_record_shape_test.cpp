// The revert record's shape check: a well-formed record passes, and each part of the wrong shape
// is refused with the key path that leads to it.
#include "services/terraform/revert_record_shape.hpp"

#include <gtest/gtest.h>

#include <tuple>

#include "core/error.hpp"
#include "services/vwan/vwan_mgmt.hpp"

namespace dm {
namespace {

const char* kHash = "9c1185a5c5e9fc54612808977ee8f548b2258d31e0b7a7d1b4c5f1d8e4a2b6c0";

Record goodRecord() {
    Record record = Record::parse(R"({"vnetid-tf-size": {"spoke1.tf": {"size": 212}},
      "gw_adv_cidr": {"azu-gw": ["10.1.0.0/16"]},
      "peering_prop": {"sub-1:spoke1": [{"localSubscriptionId": "sub-1", "localRgName": "rg",
        "localVnetName": "spoke1", "localPeeringName": "p1", "localPeering": {"name": "p1"}}]},
      "peerings": {"sub-1:spoke1": [{"localSubscriptionId": "sub-1", "localRgName": "rg",
        "localVnetName": "spoke1", "localPeeringName": "p1", "localPeering": {"name": "p1"},
        "remoteSubscriptionId": "sub-2", "remoteRgName": "rg-hub", "remoteVnetName": "hub",
        "remotePeeringName": "p2", "remotePeering": {"name": "p2"}}]},
      "vhc_list": {}, "note": "keys the record does not need are allowed"})");
    record["vnetid-tf-size"]["spoke1.tf"]["sha256"] = kHash;
    // A hub connection as the vWAN service stores it, so that the two cannot drift apart.
    record["vhc_list"]["sub-1:spoke1"] = VWanMgmt::getSerialize(Record::parse(R"([{
      "hubSubscriptionId": "sub-2", "hubRgName": "rg-hub", "hubName": "hub-east",
      "connectionName": "c1", "connection": {"id": "/c1", "properties": {}}}])"));
    return record;
}

std::string refusal(const Record& record) {
    try {
        requireRevertRecordShape(record, "/acct/tmp/revert.json");
    } catch (const Error& e) {
        return e.what();
    }
    return "accepted";
}

TEST(RevertRecordShape, GoodRecordPassesAndEachWrongShapeNamesItsKeyPath) {
    EXPECT_EQ(refusal(goodRecord()), "accepted");
    const std::string upper =
        "\"9C1185A5C5E9FC54612808977EE8F548B2258D31E0B7A7D1B4C5F1D8E4A2B6C0\"";
    const std::string pp = "peering_prop[\"sub-1:spoke1\"][0]",
                      pr = "peerings[\"sub-1:spoke1\"][0]";
    const std::string tf = "vnetid-tf-size[\"spoke1.tf\"]", hub = "vhc_list[\"sub-1:spoke1\"][0]";
    // Where the good record is changed, the JSON put there ("" removes the key), the message.
    // clang-format off
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"", "[]", "top level: expected a map, found a list"},
        {"/peerings", "", "peerings: expected a map, found nothing"},
        {"/gw_adv_cidr", "[]", "gw_adv_cidr: expected a map, found a list"},
        {"/vnetid-tf-size/spoke1.tf", "212", tf + ": expected a map, found 212"},
        {"/vnetid-tf-size/spoke1.tf/size", "-1", tf + ".size: expected a non-negative integer, found -1"},
        {"/vnetid-tf-size/spoke1.tf/size", "2.5", tf + ".size: expected a non-negative integer, found 2.5"},
        {"/vnetid-tf-size/spoke1.tf/sha256", upper, tf + ".sha256: expected 64 lower-case hex digits, found " + upper},
        {"/vnetid-tf-size/spoke1.tf/sha256", "\"ab\"", tf + ".sha256: expected 64 lower-case hex digits, found \"ab\""},
        {"/gw_adv_cidr/azu-gw", "\"10.1.0.0/16\"", "gw_adv_cidr[\"azu-gw\"]: expected a list, found \"10.1.0.0/16\""},
        {"/gw_adv_cidr/azu-gw/0", "10", "gw_adv_cidr[\"azu-gw\"][0]: expected a string, found 10"},
        {"/peering_prop/sub-1:spoke1/0/localPeering", "", pp + ".localPeering: expected a map, found nothing"},
        {"/peering_prop/sub-1:spoke1/0/localRgName", "true", pp + ".localRgName: expected a string, found true"},
        {"/peerings/sub-1:spoke1/0", "[]", pr + ": expected a map, found a list"},
        {"/peerings/sub-1:spoke1/0/localPeering", "\"x\"", pr + ".localPeering: expected a map, found \"x\""},
        {"/peerings/sub-1:spoke1/0/remoteVnetName", "null", pr + ".remoteVnetName: expected a string, found null"},
        {"/vhc_list/sub-1:spoke1/0/hubName", "\"\"", hub + ".hubName: expected a non-empty string, found \"\""},
        {"/vhc_list/sub-1:spoke1/0/connection/properties", "", hub + ".connection.properties: expected a map, found nothing"},
        // A key from the file cannot break the line or the path.
        {"/vhc_list/a\"b\n", "{}", "vhc_list[\"a\\\"b\\n\"]: expected a list, found a map"},
    };
    // clang-format on
    for (const auto& [pointer, value, message] : cases) {
        Record record = goodRecord();
        const Record::json_pointer at(pointer);
        if (value.empty())
            record[at.parent_pointer()].erase(at.back());
        else
            record[at] = Record::parse(value);
        EXPECT_EQ(refusal(record), "/acct/tmp/revert.json: " + message) << pointer;
    }
}

}  // namespace
}  // namespace dm
