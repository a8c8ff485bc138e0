// The managed objects the simulator registers: one per inventory entity, plus
// the service instance and the session manager. Each overrides the readers
// and operations it offers on top of the generated skeleton; everything else
// answers NotSupported naming the operation.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "Inventory.h"
#include "quill/LocalAdapter.h"
#include "quill/tasks/Tasks.h"

namespace Tarn::Sim {

struct User {
  std::string name;
  std::string password;
  std::string fullName;
  bool readOnly = false;
};

class SessionManagerImpl;

// What the objects share. Owned by the Simulator, outlives every call.
struct World {
  Inventory* inventory = nullptr;
  Quill::LocalAdapter* adapter = nullptr;
  Quill::Tasks::Manager* tasks = nullptr;
  std::chrono::milliseconds taskDelay{0};
  std::vector<User> users;
  SessionManagerImpl* sessions = nullptr;
  std::string aboutVersion;
  // The query service's root collector, named by the service content.
  Basalt::Ref<Quill::MoRef> propertyCollector;
  // The task manager (Quill::Tasks::Manager::ServeTaskManager), named by the content.
  Basalt::Ref<Quill::MoRef> taskManager;
  // Named by the service content when set (Events.h, Views.h).
  Basalt::Ref<Quill::MoRef> eventManager;
  Basalt::Ref<Quill::MoRef> viewManager;
};

// Whether `entity` lies under `root` in the folder tree: as a direct child, or at any
// depth (`recursive`). Takes the inventory's lock.
bool Contains(Inventory& inventory, Quill::MoRef const& root, Quill::MoRef const& entity, bool recursive);

// Request-context keys of a logged-in session.
inline constexpr char kUserKey[] = "user";
inline constexpr char kSessionKey[] = "session";
inline constexpr char kReadOnlyKey[] = "readOnly";

// Registers the service instance ("ServiceInstance"), the session manager
// ("SessionManager") and an object for every live entity of the inventory.
void RegisterAll(World& world);

// The adapter's privilege checker: "System.Anonymous" passes; anything else
// needs a logged-in session (else NotAuthenticated); a read-only session may
// read and call what needs System.View or System.Read only (else NoPermission).
void CheckPrivilege(Quill::CallInfo const& call);

// Custom fields with which a machine publishes the state that its catalogue
// records (vm.ConfigInfo, vm.RuntimeInfo, vm.GuestInfo) have no property for;
// the keys of the values in `customValue`, named in `availableField`.
enum VmField : int {
  kFieldPowerState = 1,
  kFieldBootTime,
  kFieldHost,
  kFieldMemoryMB,
  kFieldNumCPU,
  kFieldGuestId,
  kFieldGuestState,
  kFieldIpAddress,
  kFieldDevices,
  kFieldConnectionState,  // "disconnected" while its host is
  kFieldTemplate,         // "true" for a template
  kFieldToolsStatus,      // "guestToolsRunning" / "guestToolsNotRunning"
  kFieldPath,             // "[<datastore>] <directory>/<directory>.vmx", what registerVm takes
};
std::vector<char const*> const& VmFieldNames();  // index = key - 1

}  // namespace Tarn::Sim
