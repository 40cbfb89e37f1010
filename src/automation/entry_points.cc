#include "zimrax/automation/entry_points.h"

#include "automation/class_registry_store.h"
#include "automation/module_state.h"
#include "automation/zm_file_factory.h"

namespace zimrax {

HResult DllRegisterServer() {
  AddRegistration(ZmFileRegistration());
  return kSOk;
}

HResult DllUnregisterServer() { return RemoveRegistration(kClsIdZmFile) ? kSOk : kSFalse; }

HResult DllGetClassObject(const Guid& clsid, const Guid& iid, std::shared_ptr<ClassFactory>* factory) {
  if (factory == nullptr) return kEPointer;
  factory->reset();
  if (!(clsid == kClsIdZmFile)) return kClassENotAvailable;
  if (!(iid == kIidIClassFactory) && !(iid == kIidIUnknown)) return kENoInterface;
  // The factory is static; the shared_ptr only hands out a reference to it.
  *factory = std::shared_ptr<ClassFactory>(std::shared_ptr<void>(), &ZmFileClassFactory());
  return kSOk;
}

HResult DllCanUnloadNow() { return ModuleIsIdle() ? kSOk : kSFalse; }

}  // namespace zimrax
