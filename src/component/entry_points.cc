#include "zimrax/entry_points.h"

#include "component/class_registry_store.h"
#include "component/module_state.h"

namespace zimrax {
namespace {

class ZmFileFactory final : public ClassFactory {
 public:
  std::unique_ptr<ZmFile> CreateInstance() override { return std::make_unique<ZmFile>(); }
  void LockServer(bool lock) override { lock ? LockModule() : UnlockModule(); }
};

}  // namespace

ClassFactory& ZmFileClassFactory() {
  static ZmFileFactory* factory = new ZmFileFactory;
  return *factory;
}

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
