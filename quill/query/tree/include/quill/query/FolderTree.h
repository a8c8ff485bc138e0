// The folder tree's rule set ready made, and "these properties of every object of type T
// under this root" in one call:
//
//   auto vms = Quill::Query::Retrieve(adapter, "VirtualMachine",
//                                     {"name", "runtime.maxMemoryUsage", "overallStatus"}, root);
//   for (auto const& vm : vms) {
//     long memory = vm.Get<long>("runtime.maxMemoryUsage");
//     auto status = vm.Get<Tarn::ManagedEntity::Status>("overallStatus");
//   }
//
// The hops name the catalogue's types and properties (folders' children, datacenters'
// folders, compute resources' hosts and resource pools, pools' pools and VMs, hosts' VMs,
// views' objects), so this part lives in a library of its own on libtarn-types,
// quill-query-tree; the generic builders are in quill/query/Client.h.
#pragma once

#include <string>
#include <vector>

#include "quill/query/Client.h"

namespace Quill::Query {

// The names of the folder tree's hops; each follows all of them, so one start that follows
// kFolderTreeHops reaches everything under a folder, datacenter, compute resource, resource
// pool, host or view (each object once, however many ways lead to it).
extern std::vector<std::string> const kFolderTreeHops;

// The hops themselves.
std::vector<Basalt::Ref<Hop>> FolderTreeHops();

// A spec from `root` through the whole tree under it, reading `selections`; the root itself
// is reported too unless `skipRoot`.
Basalt::Ref<QuerySpec> FolderTreeSpec(MoRef* root, std::vector<Basalt::Ref<PropertySelection>> const& selections,
                                      bool skipRoot = false);

// `paths` of every object of `type` (or a subtype) under `root` (the root too, if it is one),
// every page followed. An empty `paths` reads every property.
std::vector<ObjectProperties> Retrieve(StubAdapter* adapter, std::string const& type,
                                       std::vector<std::string> const& paths, MoRef* root,
                                       RetrieveSettings const& settings = {});

}  // namespace Quill::Query
