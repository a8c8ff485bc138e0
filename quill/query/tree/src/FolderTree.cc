#include "quill/query/FolderTree.h"

namespace Quill::Query {

std::vector<std::string> const kFolderTreeHops = {
    "folderChildren", "datacenterVms", "datacenterHosts", "datacenterStores", "datacenterNets", "computeHosts",
    "computePool",    "poolPools",     "poolVms",         "hostVms",          "viewObjects"};

std::vector<Basalt::Ref<Hop>> FolderTreeHops() {
  auto const& all = kFolderTreeHops;
  return {
      MakeHop("folderChildren", "tarn.Folder", "childEntity", all),
      MakeHop("datacenterVms", "tarn.Datacenter", "vmFolder", all),
      MakeHop("datacenterHosts", "tarn.Datacenter", "hostFolder", all),
      MakeHop("datacenterStores", "tarn.Datacenter", "datastoreFolder", all),
      MakeHop("datacenterNets", "tarn.Datacenter", "networkFolder", all),
      MakeHop("computeHosts", "tarn.ComputeResource", "host", all),
      MakeHop("computePool", "tarn.ComputeResource", "resourcePool", all),
      MakeHop("poolPools", "tarn.ResourcePool", "resourcePool", all),
      MakeHop("poolVms", "tarn.ResourcePool", "vm", all),
      MakeHop("hostVms", "tarn.HostSystem", "vm", all),
      MakeHop("viewObjects", "tarn.view.ManagedObjectView", "view", all),
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
