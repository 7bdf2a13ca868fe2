#pragma once
// Azure resource ids: "/subscriptions/<sub>/resourceGroups/<rg>/providers/Microsoft.Network/
// virtualNetworks/<vnet>[/virtualNetworkPeerings/<peering>]".

#include <string>
#include <string_view>
#include <vector>

namespace dm {

// Positions of the fields in an id split at "/" (the leading "/" gives an empty field 0).
struct ResourceIdLayout {
    static constexpr size_t SUB_I = 2;
    static constexpr size_t RG_I = 4;
    static constexpr size_t VNET_I = 8;
    static constexpr size_t PEER_I = 10;
};

std::vector<std::string> splitResourceId(std::string_view id);

// The field at `index` of the split id; throws dm::Error naming the id when it has no such field.
std::string resourceIdField(std::string_view id, size_t index);

// The resource group of an id (the field at RG_I); throws as resourceIdField.
inline std::string resourceGroupOf(std::string_view id) {
    return resourceIdField(id, ResourceIdLayout::RG_I);
}

// The name of a referenced resource: the last segment of its id.
std::string resourceName(std::string_view id);

}  // namespace dm
