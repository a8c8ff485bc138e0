// The view manager ("ViewManager") and its container views: the entities
// inside a container (recursive or its direct contents), of some types.
//
// What a container holds: a folder its child entities; a datacenter its four
// folders; a cluster its hosts and root resource pool; a resource pool its
// child pools and machines. A view reads the inventory whenever it is read, so
// it is never stale; and whenever the inventory's shape changes (an object
// made, destroyed, moved) every view's members are worked out again and each
// view whose members changed reports `view` changed, so that watchers of the
// query service see it.
#pragma once

#include <memory>

#include "Inventory.h"
#include "quill/LocalAdapter.h"

namespace Tarn::Sim {

class Views {
 public:
  Views(Quill::LocalAdapter* adapter, Inventory* inventory);
  ~Views();
  Views(Views const&) = delete;
  Views& operator=(Views const&) = delete;

  // Registers "ViewManager" and watches the adapter for changes of shape.
  void Start();
  Basalt::Ref<Quill::MoRef> GetManagerRef() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> _impl;
};

}  // namespace Tarn::Sim
