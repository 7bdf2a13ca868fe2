#include "services/terraform/revert_record_shape.hpp"

#include <cstdint>
#include <span>

#include "core/error.hpp"
#include "core/text.hpp"

namespace dm {
namespace {

// The record's shape as a small tree: each node says what a value must be, which keys a map of
// fixed fields must hold, and what each value of a map keyed by data (or each item of a list)
// must be.
struct Field;

struct Node {
    const char* expected;
    bool (*fits)(const Record&);
    std::span<const Field> fields = {};
    const Node* each = nullptr;
};

struct Field {
    const char* key;
    const Node* node;
    bool optional = false;
};

constexpr Node kMap{"a map", [](const Record& v) { return v.is_object(); }};
constexpr Node kString{"a string", [](const Record& v) { return v.is_string(); }};
// The hub-connection restore refuses an entry whose names are empty.
constexpr Node kName{"a non-empty string", [](const Record& v) {
                         return v.is_string() && !v.get_ref<const std::string&>().empty();
                     }};
// Records built in memory may hold a signed integer; parsed ones hold non-negative ones unsigned.
constexpr Node kSize{"a non-negative integer", [](const Record& v) {
                         return v.is_number_unsigned() ||
                                (v.is_number_integer() && v.get<std::int64_t>() >= 0);
                     }};
constexpr Node kSha256{"64 lower-case hex digits", [](const Record& v) {
                           if (!v.is_string())
                               return false;
                           const auto& s = v.get_ref<const std::string&>();
                           if (s.size() != 64)
                               return false;
                           for (char c : s) {
                               if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
                                   return false;
                           }
                           return true;
                       }};

constexpr Node listOf(const Node* item) {
    return {"a list", [](const Record& v) { return v.is_array(); }, {}, item};
}
constexpr Node mapOf(const Node* value) {
    return {"a map", [](const Record& v) { return v.is_object(); }, {}, value};
}
constexpr Node mapWith(std::span<const Field> fields) {
    return {"a map", [](const Record& v) { return v.is_object(); }, fields};
}

// vnetid-tf-size: file name -> the file's state after the switch marker was set.
constexpr Field kFileStateFields[] = {{"size", &kSize}, {"sha256", &kSha256}};
constexpr Node kFileState = mapWith(kFileStateFields);
constexpr Node kFileStates = mapOf(&kFileState);

// gw_adv_cidr: gateway -> the CIDRs it advertised.
constexpr Node kCidrList = listOf(&kString);
constexpr Node kCidrLists = mapOf(&kCidrList);

// peering_prop: VNet key -> the peerings whose use_remote_gateways was turned off.
constexpr Field kPeeringPropFields[] = {{"localSubscriptionId", &kString},
                                        {"localRgName", &kString},
                                        {"localVnetName", &kString},
                                        {"localPeeringName", &kString},
                                        {"localPeering", &kMap}};
constexpr Node kPeeringProp = mapWith(kPeeringPropFields);
constexpr Node kPeeringPropList = listOf(&kPeeringProp);
constexpr Node kPeeringPropLists = mapOf(&kPeeringPropList);

// peerings: VNet key -> the peering pairs deleted at both ends.
constexpr Field kPeeringPairFields[] = {
    {"localSubscriptionId", &kString}, {"localRgName", &kString},
    {"localVnetName", &kString},       {"localPeeringName", &kString},
    {"localPeering", &kMap},           {"remoteSubscriptionId", &kString},
    {"remoteRgName", &kString},        {"remoteVnetName", &kString},
    {"remotePeeringName", &kString},   {"remotePeering", &kMap}};
constexpr Node kPeeringPair = mapWith(kPeeringPairFields);
constexpr Node kPeeringPairList = listOf(&kPeeringPair);
constexpr Node kPeeringPairLists = mapOf(&kPeeringPairList);

// vhc_list: VNet key -> the hub connections removed, as VWanMgmt::getSerialize writes them. The
// connection's properties are what the re-creating PUT sends.
constexpr Field kConnectionFields[] = {
    {"id", &kString, true}, {"name", &kString, true}, {"properties", &kMap}};
constexpr Node kConnection = mapWith(kConnectionFields);
constexpr Field kHubConnectionFields[] = {{"hubSubscriptionId", &kName},
                                          {"hubRgName", &kName},
                                          {"hubName", &kName},
                                          {"connectionName", &kName},
                                          {"connection", &kConnection}};
constexpr Node kHubConnection = mapWith(kHubConnectionFields);
constexpr Node kHubConnectionList = listOf(&kHubConnection);
constexpr Node kHubConnectionLists = mapOf(&kHubConnectionList);

constexpr Field kSections[] = {{"vnetid-tf-size", &kFileStates},
                               {"gw_adv_cidr", &kCidrLists},
                               {"peering_prop", &kPeeringPropLists},
                               {"peerings", &kPeeringPairLists},
                               {"vhc_list", &kHubConnectionLists}};
constexpr Node kRecord = mapWith(kSections);

// A value as the error shows it: containers by kind, scalars as JSON text, cut short so that
// one long string cannot swamp the line.
std::string describe(const Record* value) {
    if (!value)
        return "nothing";
    if (value->is_object())
        return "a map";
    if (value->is_array())
        return "a list";
    std::string text = value->dump(-1, ' ', false, Record::error_handler_t::replace);
    constexpr size_t kShown = 72;
    if (text.size() > kShown) {
        size_t cut = kShown;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        text = text.substr(0, cut) + "...";
    }
    return text::escapeControl(text);
}

// `key` of a map keyed by data, as it appears in a key path: quoted and escaped.
std::string quotedKey(const std::string& key) {
    return text::escapeControl(Record(key).dump(-1, ' ', false, Record::error_handler_t::replace));
}

class Checker {
  public:
    explicit Checker(const std::string& file) : file_(text::escapeControl(file)) {}

    void check(const Record* value, const std::string& path, const Node& node) const {
        if (!value || !node.fits(*value)) {
            throw Error(file_ + ": " + (path.empty() ? "top level" : path) + ": expected " +
                        node.expected + ", found " + describe(value));
        }
        for (const Field& field : node.fields) {
            auto it = value->find(field.key);
            const Record* found = it == value->end() ? nullptr : &*it;
            if (!found && field.optional)
                continue;
            check(found, path.empty() ? field.key : path + "." + field.key, *field.node);
        }
        if (!node.each)
            return;
        if (value->is_array()) {
            for (size_t i = 0; i < value->size(); ++i)
                check(&(*value)[i], path + "[" + std::to_string(i) + "]", *node.each);
        } else {
            for (auto it = value->begin(); it != value->end(); ++it)
                check(&it.value(), path + "[" + quotedKey(it.key()) + "]", *node.each);
        }
    }

  private:
    std::string file_;
};

}  // namespace

void requireRevertRecordShape(const Record& record, const std::string& file) {
    Checker(file).check(&record, "", kRecord);
}

}  // namespace dm
