// Gateway route propagation against the emulator: which tables are touched, what the returned
// records say, how a restore puts each table back, and that a dry run writes nothing.
#include "library_fixture.hpp"

namespace {

using dm::CommandOptions;
using dm::Record;
using dm::arm::SwitchTraffic;
using dm::emu::Json;

const std::string kSub = "55555555-aaaa-bbbb-cccc-000000000005";

std::string rtId(const std::string& group, const std::string& name) {
    return "/subscriptions/" + kSub + "/resourceGroups/" + group +
           "/providers/Microsoft.Network/routeTables/" + name;
}

Json table(const std::string& name, bool disabled) {
    return {{"name", name}, {"disableBgpRoutePropagation", disabled}};
}

// spoke1's staged tables: main-1 and rt-app-new have propagation off, main-2 and rt-db-new on;
// rt-far-new was staged in another resource group than the VNet's.
Json topology() {
    Json appNew = table("rt-app-new", true);
    appNew["routes"] = {{{"name", "default"},
                         {"addressPrefix", "0.0.0.0/0"},
                         {"nextHopType", "VirtualAppliance"},
                         {"nextHopIpAddress", "10.250.0.4"}}};
    return {
        {"subscriptions",
         {{{"id", kSub},
           {"resourceGroups",
            {{{"name", "rg-spoke"},
              {"routeTables",
               {table("spoke1-main-1", true), table("spoke1-main-2", false), appNew,
                table("rt-db-new", false)}},
              {"virtualNetworks", {{{"name", "spoke1"}, {"addressPrefixes", {"10.1.0.0/16"}}}}}},
             {{"name", "rg-other"}, {"routeTables", {table("rt-far-new", true)}}}}}}}}};
}

const std::vector<std::string> kStaged = {"spoke1-main-1:rg-spoke", "spoke1-main-2:rg-spoke",
                                          "rt-app-new:rg-spoke", "rt-db-new:rg-spoke",
                                          "rt-far-new:rg-other"};
const Record kForwardMap = {
    {"rt-app", "rt-app-new"}, {"rt-db", "rt-db-new"}, {"rt-far", "rt-far-new"}};

Record change(const std::string& name, bool before) {
    return {{"vnet", "spoke1"},
            {"resource_group", "rg-spoke"},
            {"route_table_name", name},
            {"disable_bgp_route_propagation", before}};
}

class PropagationTest : public dm::testing::LibraryFixture {
  protected:
    void SetUp() override {
        LibraryFixture::SetUp();
        startCloud(topology());
    }

    void restartCapture() {
        log_.reset();
        log_ = std::make_unique<dm::testing::LogCapture>(
            std::vector<std::string>{dm::arm::kLibraryLoggerName});
    }

    dm::azure::VirtualNetwork spoke() const { return vnet(kSub, "rg-spoke", "spoke1"); }

    // disableBgpRoutePropagation of a table once every started update has completed.
    bool disabled(const std::string& group, const std::string& name) {
        cloud().dump();
        return cloud()
            .resource(rtId(group, name))["properties"]["disableBgpRoutePropagation"]
            .get<bool>();
    }

    // Each write as "<method> <table> disable=<flag>".
    std::vector<std::string> tableWrites() const {
        std::vector<std::string> out;
        for (const auto& w : writeLog()) {
            const std::string path = w["path"];
            out.push_back(
                w["method"].get<std::string>() + " " + path.substr(path.rfind('/') + 1) +
                " disable=" + w["body"]["properties"]["disableBgpRoutePropagation"].dump());
        }
        return out;
    }

    Record enableForward() {
        return SwitchTraffic::setDisableAllRouteTablePropagationInVnet(
            CommandOptions{}, client(kSub), spoke(), kStaged, kForwardMap, /*disableFlag=*/false);
    }
};

// The two lines that report a table missing from the VNet's resource group.
std::vector<std::string> notFound(const std::string& name) {
    return {"info:   **Alert** " + name + " not found",
            "debug:   **Alert** (ResourceNotFound) The Resource 'Microsoft.Network/routeTables/" +
                name + "' under resource group 'rg-spoke' was not found."};
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(PropagationTest, EnablesStagedTablesThatNeedItAndSkipsTheRest) {
    const Record changed = enableForward();

    EXPECT_EQ(lines(), concat({"info: - Enable propagate-gateway-route in UDR route table",
                               "info:   enable propagate-gateway-route in spoke1-main-1",
                               "info:   enable propagate-gateway-route in rt-app-new"},
                              notFound("rt-far-new")));
    // Tables already at the wanted value are neither logged nor returned.
    EXPECT_EQ(changed.dump(),
              Record({change("spoke1-main-1", true), change("rt-app-new", true)}).dump());

    EXPECT_EQ(tableWrites(), (std::vector<std::string>{"PUT spoke1-main-1 disable=false",
                                                       "PUT rt-app-new disable=false"}));
    // The whole table goes back: its routes survive the update.
    EXPECT_EQ(writeLog()[1]["body"]["properties"]["routes"][0]["name"], "default");
    EXPECT_FALSE(disabled("rg-spoke", "spoke1-main-1"));
    EXPECT_FALSE(disabled("rg-spoke", "rt-app-new"));
    EXPECT_TRUE(disabled("rg-other", "rt-far-new"));
}

TEST_F(PropagationTest, RevertMapKeysAreTheNewTablesAndUnstagedMainTablesAreLeftAlone) {
    CommandOptions args;
    args.revert = true;
    const Record revertMap = {{"rt-db-new", "rt-db"}};
    const Record changed = SwitchTraffic::setDisableAllRouteTablePropagationInVnet(
        args, client(kSub), spoke(), {"spoke1-main-2:rg-other"}, revertMap, /*disableFlag=*/true);

    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "info: - Disable propagate-gateway-route in UDR route table",
                           "info:   disable propagate-gateway-route in rt-db-new"}));
    EXPECT_EQ(changed.dump(), Record({change("rt-db-new", false)}).dump());
    EXPECT_EQ(tableWrites(), std::vector<std::string>{"PUT rt-db-new disable=true"});
    EXPECT_FALSE(disabled("rg-spoke", "spoke1-main-2"));
}

TEST_F(PropagationTest, NothingStagedGivesOnlyTheHeading) {
    const Record changed = SwitchTraffic::setDisableAllRouteTablePropagationInVnet(
        CommandOptions{}, client(kSub), spoke(), {}, Record::object(), /*disableFlag=*/true);
    EXPECT_EQ(changed, Record::array());
    EXPECT_EQ(lines(), std::vector<std::string>{
                           "info: - Disable propagate-gateway-route in UDR route table"});
    EXPECT_TRUE(writeLog().empty());
}

TEST_F(PropagationTest, DryRunLogsAndReturnsTheSameButWritesNothing) {
    dryRun();
    const Record dryChanged = enableForward();
    const auto dryLines = lines();
    EXPECT_TRUE(writeLog().empty());
    EXPECT_TRUE(disabled("rg-spoke", "spoke1-main-1"));

    dryRun(false);
    restartCapture();
    const Record realChanged = enableForward();
    EXPECT_EQ(dryLines, lines());
    EXPECT_EQ(dryChanged.dump(), realChanged.dump());
}

TEST_F(PropagationTest, RestorePutsEachTableBackToItsFormerValue) {
    // Turn propagation off everywhere, then restore from what that change recorded: main-1 and
    // rt-app-new had it off before and must keep it off.
    auto net = client(kSub);
    const Record stored = SwitchTraffic::setDisableAllRouteTablePropagationInVnet(
        CommandOptions{}, net, spoke(), kStaged, kForwardMap, /*disableFlag=*/true);
    EXPECT_EQ(stored.dump(),
              Record({change("spoke1-main-2", false), change("rt-db-new", false)}).dump());
    Record list = Record::parse(stored.dump());
    list.insert(list.begin(), change("spoke1-main-1", true));
    list.push_back(change("rt-gone", false));
    cloud().dump();
    cloud().clearWriteLog();
    restartCapture();

    SwitchTraffic::restoreRouteTablePropagationInVnet(net, list);

    EXPECT_EQ(lines(), concat({"info: - Restore propagate-gateway-route in UDR route table",
                               "info:   disable propagate-gateway-route in spoke1-main-1",
                               "info:   enable propagate-gateway-route in spoke1-main-2",
                               "info:   enable propagate-gateway-route in rt-db-new"},
                              notFound("rt-gone")));
    EXPECT_EQ(tableWrites(), (std::vector<std::string>{"PUT spoke1-main-1 disable=true",
                                                       "PUT spoke1-main-2 disable=false",
                                                       "PUT rt-db-new disable=false"}));
    EXPECT_TRUE(disabled("rg-spoke", "spoke1-main-1"));
    EXPECT_FALSE(disabled("rg-spoke", "spoke1-main-2"));
    EXPECT_TRUE(disabled("rg-spoke", "rt-app-new"));
    EXPECT_FALSE(disabled("rg-spoke", "rt-db-new"));

    dryRun();
    cloud().clearWriteLog();
    const auto realLines = lines();
    restartCapture();
    SwitchTraffic::restoreRouteTablePropagationInVnet(net, list);
    EXPECT_EQ(lines(), realLines);
    EXPECT_TRUE(writeLog().empty());
}

}  // namespace
