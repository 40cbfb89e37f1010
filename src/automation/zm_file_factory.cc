#include "automation/zm_file_factory.h"

#include "automation/module_state.h"

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

}  // namespace zimrax
