// The account folder's Terraform files as the Terraform service reads them: the bytes are a
// VNet's <vnet>.tf (the switch marker, the module block it goes into, the resources added for
// import) and the association file a revert turns into "removed" blocks. Beyond not crashing,
// it checks what the service promises: setting the marker makes the file read as switched and
// clearing it as not switched, an added resource is not added twice, and the removed blocks
// name only Terraform names.

#include <cstdint>
#include <string>

#include "core/error.hpp"
#include "core/text.hpp"
#include "fuzz_support.hpp"
#include "services/context/globals.hpp"
#include "services/terraform/account_io.hpp"
#include "services/terraform/hcl_text.hpp"
#include "services/terraform/terraform.hpp"

namespace {

using dm::Terraform;
using dm::fuzz::require;
namespace detail = dm::terraform::detail;

std::string contentOf(const std::filesystem::path& path) {
    return detail::readFileIfExists(path).value_or("");
}

void checkParsers(const std::string& content) {
    if (auto attribute = detail::findSwitchAttribute(content)) {
        require(
            attribute->valueBegin < attribute->valueEnd && attribute->valueEnd <= content.size(),
            "switch attribute outside the file");
        const std::string value =
            content.substr(attribute->valueBegin, attribute->valueEnd - attribute->valueBegin);
        require(value == (attribute->value ? "true" : "false"), "switch attribute reads " + value);
    }
    if (auto close = detail::findModuleBlockEnd(content, "spoke1"))
        require(*close < content.size() && content[*close] == '}', "module end is no \"}\"");
}

// The marker, set and cleared through the service, read back through the forward run's test.
void checkMarker(const std::filesystem::path& tf) {
    const std::string path = tf.string();
    try {
        Terraform::updateSwitchTraffic("spoke1", true);
    } catch (const dm::Error&) {
        return;  // no marker and no module block to hold one
    }
    require(!dm::terraform::isBeforeSwitchTraffic(path), "the file set switched reads unswitched");
    Terraform::updateSwitchTraffic("spoke1", false);
    require(dm::terraform::isBeforeSwitchTraffic(path), "the file cleared reads switched");
}

void checkImport(const std::filesystem::path& tf) {
    Terraform::createImportAttachment("spoke1", "spoke-gw", "transit-gw");
    const std::string once = contentOf(tf);
    Terraform::createImportAttachment("spoke1", "spoke-gw", "transit-gw");
    require(contentOf(tf) == once, "the attachment was added twice");
}

// The revert's removed blocks, from the association file.
void checkUndo(const std::filesystem::path& folder) {
    dm::Globals::setRevert(true);
    Terraform::deleteSubnetAssociationTf();
    dm::Globals::setRevert(false);
    const std::string undo = contentOf(folder / Terraform::kUndoAssociationTf);
    const std::string from = "  from = azurerm_subnet_route_table_association.";
    for (const std::string& line : dm::text::split(undo, '\n')) {
        if (dm::text::startsWith(line, from)) {
            require(detail::isHclIdentifier(line.substr(from.size())),
                    "a removed block names no Terraform name: " + line);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const dm::fuzz::ScratchFolder scratch("terraform");
    const std::string content(reinterpret_cast<const char*>(data), size);
    checkParsers(content);

    // A fresh account folder per input: the service keeps what it wrote in it.
    std::error_code ec;
    std::filesystem::remove_all(scratch.path() / "account", ec);
    const std::filesystem::path tf = scratch.write("account/spoke1.tf", content);
    scratch.write(std::filesystem::path("account") / Terraform::kAssociationTf, content);
    const std::filesystem::path folder = tf.parent_path();

    dm::fuzz::FreshRun fresh;
    dm::Globals::setTargetFolder(folder.string());
    Terraform::setSwitchTrafficTargetFolder();
    try {
        dm::terraform::isBeforeSwitchTraffic(tf.string());
        checkMarker(tf);
        checkImport(tf);
        checkUndo(folder);
    } catch (const dm::Error&) {
    }
    return 0;
}
