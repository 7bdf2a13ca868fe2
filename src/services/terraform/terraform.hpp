#pragma once
// Terraform: the account folder's generated Terraform files, import scripts and revert record.
// Class-level, like the other toolkit services, over the run's state; docs/account-folder.md
// describes the files and docs/revert-record.md the record.

#include <string>

#include "core/record.hpp"

namespace dm {

class VnetLane;

class Terraform {
  public:
    // Names of the files this service keeps in the account folder.
    static constexpr const char* kRevertFile = "revert.json";
    static constexpr const char* kAssociationTf = "subnet-route-table-associations.tf";
    static constexpr const char* kUndoAssociationTf = "subnet-route-table-associations-undo.tf";
    static constexpr const char* kImportScript = "terraform-import-associations.sh";
    static constexpr const char* kUndoImportScript = "terraform-undo-import-associations.sh";
    static constexpr const char* kDiscoveryFile = "discovery.json";

    // From now on the run is a dry run: no file is written, deleted or run; each skipped change
    // is logged at info level as "[dry-run] ...". Reads still happen.
    static void setDryRun();
    static bool isDryRun();

    // Later calls work on Globals::getTargetFolder(); throws dm::Error when that is empty. The
    // earlier folder's files are no longer held in memory.
    static void setSwitchTrafficTargetFolder();
    // The account folder in use; empty before setSwitchTrafficTargetFolder().
    static const std::string& getSwitchTrafficTargetFolder();
    // Where the revert record lives: <account folder>/<Globals::getRelativeTmpPath()>/revert.json.
    static std::string revertInfoPath();

    // True when the account folder holds "revert.json" (a stray temporary file does not count).
    static bool isRevertInfoExist();
    // The stored record exactly as stored; throws dm::Error naming the file when it is missing,
    // and naming the file and byte offset when it is corrupt or truncated.
    static Record readRevertInfo();
    // Replaces "revert.json" atomically and durably, keeping the replaced one as
    // "revert.json.prev"; a crash leaves either the old or the new record whole. The Terraform
    // files written before are synced first, so the record is never on disk ahead of them.
    static void storeRevertInfo(const Record& revertRecord);
    // Moves "revert.json" aside to "revert.json.prev" (durably, after syncing the Terraform
    // files written before); nothing to do when it is absent.
    static void deleteRevertInfo();

    // The generated Terraform files and scripts are extended by appends, or replaced atomically
    // (temporary file and rename), but not synced one by one: this fsyncs each file written
    // since the last sync, and each of their folders, once. A failure throws dm::Error naming
    // the file; the files are then no longer pending. Nothing to do in a dry run.
    static void syncFiles();

    // While several VNets are in flight, each one's additions to the files all VNets extend
    // (the association file and the import scripts) are held in its lane; this writes them, in
    // the VNet's turn.
    static void writeHeldAppends(VnetLane& lane);

    // Run the import script, or its undo script, with bash in the account folder; a missing
    // script is logged and skipped; a failing one throws dm::Error with its exit status.
    static void runImportAssociationScript();
    static void runUndoImportAssociationScript();

    // Removes the association file and the import script (durably: removals are rare). In a
    // revert run the association file's resources are first turned into "removed" blocks of
    // the undo file, so Terraform forgets them without destroying the live associations.
    static void deleteSubnetAssociationTf();
    // Removes the undo file and the undo script; absent files are not an error.
    static void deleteUndoSubnetAssociationTf();

    // Sets the "switch_traffic" attribute in <vnet_name>.tf (inserting it into the VNet's module
    // block when absent); throws dm::Error when the file is missing or has nowhere to hold it.
    static void updateSwitchTraffic(const std::string& vnet_name, bool switch_traffic);
    // Records the file's size and content hash under revertRecord["vnetid-tf-size"][fileName];
    // an entry already there is kept, since the earliest state is the one to return to.
    static void storeFileSize(const std::string& fileName, Record& revertRecord);
    // Truncates the file back to its recorded size after checking the kept part's hash; no
    // entry means nothing to do; a file changed in its kept part throws dm::Error naming it.
    static void revertFile(const std::string& fileName, const Record& revertRecord);

    // Append the controller attachment, or its domain association, to <vnet_name>.tf and to
    // the import and undo scripts; an entry already present is not added twice.
    static void createImportAttachment(const std::string& vnet_name,
                                       const std::string& spoke_gw_name,
                                       const std::string& transit_gw_name);
    static void createDomainAssociation(const std::string& vnet_name,
                                        const std::string& attachment_name,
                                        const std::string& domain);

    // Adds one azurerm_subnet_route_table_association resource (keys of the subnet association
    // request: "vnet_name", "subnet_id", "subnet_ref", "route_table_id", "route_table_ref",
    // "rname", "provider") and its import/undo lines; a duplicate "rname" is skipped with a
    // warning; a malformed request throws dm::Error. Writes nothing in a dry run.
    static void createSubnetAssociationTf(const Record& request);

    // The account's discovery.json; throws dm::Error naming the file when it is missing or
    // corrupt. Parsed once per file version.
    static Record readDiscoveryInfo();
};

namespace terraform {

// True while the Terraform file at tfPath does not set "switch_traffic = true"; a missing file
// is not switched; an unreadable one throws dm::Error.
bool isBeforeSwitchTraffic(const std::string& tfPath);

}  // namespace terraform

}  // namespace dm
