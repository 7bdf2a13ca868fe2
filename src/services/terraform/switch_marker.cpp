// The already-switched test of the forward run: a VNet is switched once its Terraform file says
// "switch_traffic = true".
#include "services/terraform/account_io.hpp"
#include "services/terraform/hcl_text.hpp"
#include "services/terraform/terraform.hpp"

namespace dm {

namespace terraform {

bool isBeforeSwitchTraffic(const std::string& tfPath) {
    auto folderLock = detail::lockAccountFolder();
    auto content = detail::readFileIfExists(tfPath);
    if (!content)
        return true;
    auto attribute = detail::findSwitchAttribute(*content);
    return !(attribute && attribute->value);
}

}  // namespace terraform

}  // namespace dm
