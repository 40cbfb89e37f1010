// The in-process class registry: how a host creates a ZmFile by its
// programmatic identifier "ZimraxFileIO.ZmFile", as a page script would.
//
// The registry lives in the host process. Loading the library registers the
// component (as installing it would); DllUnregisterServer removes it and
// DllRegisterServer puts it back (see entry_points.h).
#ifndef ZIMRAX_AUTOMATION_CLASS_REGISTRY_H_
#define ZIMRAX_AUTOMATION_CLASS_REGISTRY_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zimrax/automation/guid.h"
#include "zimrax/automation/zm_file.h"
#include "zimrax/export.h"

namespace zimrax {

inline constexpr std::string_view kProgIdZmFile = "ZimraxFileIO.ZmFile";

struct ClassRegistration {
  std::string prog_id;          // "ZimraxFileIO.ZmFile"
  Guid clsid;                   // class identifier
  Guid iid;                     // default interface _ZmFile
  Guid libid;                   // type library ZimraxFileIO
  int type_library_major = 1;   // type library version 1.0
  int type_library_minor = 0;
  std::string threading_model;  // "Apartment"
  std::string in_proc_server;   // path of the module that serves the class
};

// Makes new objects of one registered class.
class ZIMRAX_EXPORT ClassFactory {
 public:
  virtual ~ClassFactory() = default;
  virtual std::unique_ptr<ZmFile> CreateInstance() = 0;
  // Keeps the module loaded while locked (see DllCanUnloadNow).
  virtual void LockServer(bool lock) = 0;
};

// Returns the registration for `prog_id` (exact, case-insensitive), if any.
ZIMRAX_EXPORT std::optional<ClassRegistration> LookUpClass(std::string_view prog_id);

// Returns every registration, in registration order.
ZIMRAX_EXPORT std::vector<ClassRegistration> RegisteredClasses();

// Creates a new object of the class registered as `prog_id`. Throws
// AutomationError 429 "ActiveX component can't create object" when the
// identifier is not registered.
ZIMRAX_EXPORT std::unique_ptr<ZmFile> CreateObject(std::string_view prog_id);

}  // namespace zimrax

#endif  // ZIMRAX_AUTOMATION_CLASS_REGISTRY_H_
