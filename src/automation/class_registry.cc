#include "zimrax/automation/class_registry.h"

#include <dlfcn.h>

#include <algorithm>
#include <mutex>

#include "automation/class_registry_store.h"
#include "automation/zm_file_factory.h"
#include "base/ascii_case.h"
#include "zimrax/automation/automation_error.h"

namespace zimrax {
namespace {

// The path of the module this code was loaded from.
std::string ModulePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) != 0 && info.dli_fname != nullptr) {
    return info.dli_fname;
  }
  return {};
}

struct Registry {
  std::mutex mutex;
  std::vector<ClassRegistration> classes;
};

Registry& TheRegistry() {
  // Loading the module registers its class, as installing it would.
  static Registry* registry = [] {
    auto* r = new Registry;
    r->classes.push_back(ZmFileRegistration());
    return r;
  }();
  return *registry;
}

}  // namespace

ClassRegistration ZmFileRegistration() {
  ClassRegistration registration;
  registration.prog_id = std::string(kProgIdZmFile);
  registration.clsid = kClsIdZmFile;
  registration.iid = kIidZmFile;
  registration.libid = kLibIdZimraxFileIO;
  registration.type_library_major = 1;
  registration.type_library_minor = 0;
  registration.threading_model = "Apartment";
  registration.in_proc_server = ModulePath();
  return registration;
}

bool AddRegistration(const ClassRegistration& registration) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto existing = std::find_if(registry.classes.begin(), registry.classes.end(),
                               [&](const ClassRegistration& c) { return c.clsid == registration.clsid; });
  if (existing != registry.classes.end()) {
    *existing = registration;
    return false;
  }
  registry.classes.push_back(registration);
  return true;
}

bool RemoveRegistration(const Guid& clsid) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  const auto removed = std::erase_if(registry.classes, [&](const ClassRegistration& c) { return c.clsid == clsid; });
  return removed > 0;
}

std::optional<ClassRegistration> LookUpClass(std::string_view prog_id) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  for (const ClassRegistration& registration : registry.classes) {
    if (EqualsIgnoringAsciiCase(registration.prog_id, prog_id)) return registration;
  }
  return std::nullopt;
}

std::vector<ClassRegistration> RegisteredClasses() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return registry.classes;
}

std::unique_ptr<ZmFile> CreateObject(std::string_view prog_id) {
  const std::optional<ClassRegistration> registration = LookUpClass(prog_id);
  if (!registration) throw AutomationError(RuntimeError::kCannotCreateObject);
  return ZmFileClassFactory().CreateInstance();
}

}  // namespace zimrax
