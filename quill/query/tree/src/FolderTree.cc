#include "quill/query/FolderTree.h"

namespace Quill::Query {

std::vector<std::string> const kFolderTreeHops = {
    "folderChildren", "datacenterVms", "datacenterHosts", "datacenterStores", "datacenterNets", "computeHosts",
    "computePool",    "poolPools",     "poolVms",         "hostVms",          "viewObjects"};

// The types are named as clients see them on the wire, which the service resolves to the
// catalogue's own types.
std::vector<Basalt::Ref<Hop>> FolderTreeHops() {
  auto const& all = kFolderTreeHops;
  return {
      MakeHop("folderChildren", "Folder", "childEntity", all),
      MakeHop("datacenterVms", "Datacenter", "vmFolder", all),
      MakeHop("datacenterHosts", "Datacenter", "hostFolder", all),
      MakeHop("datacenterStores", "Datacenter", "datastoreFolder", all),
      MakeHop("datacenterNets", "Datacenter", "networkFolder", all),
      MakeHop("computeHosts", "ComputeResource", "host", all),
      MakeHop("computePool", "ComputeResource", "resourcePool", all),
      MakeHop("poolPools", "ResourcePool", "resourcePool", all),
      MakeHop("poolVms", "ResourcePool", "vm", all),
      MakeHop("hostVms", "HostSystem", "vm", all),
      MakeHop("viewObjects", "ManagedObjectView", "view", all),
  };
}

Basalt::Ref<QuerySpec> FolderTreeSpec(MoRef* root, std::vector<Basalt::Ref<PropertySelection>> const& selections,
                                      bool skipRoot) {
  return MakeSpec({MakeStart(root, kFolderTreeHops, skipRoot)}, FolderTreeHops(), selections);
}

std::vector<ObjectProperties> Retrieve(StubAdapter* adapter, std::string const& type,
                                       std::vector<std::string> const& paths, MoRef* root,
                                       RetrieveSettings const& settings) {
  auto selection = paths.empty() ? MakeSelectionAll(type) : MakeSelection(type, paths);
  auto spec = FolderTreeSpec(root, {selection});
  return RetrieveAll(adapter, spec.get(), settings);
}

}  // namespace Quill::Query
