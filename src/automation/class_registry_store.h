// Internal access to the class registry for the entry points.
#ifndef ZIMRAX_AUTOMATION_CLASS_REGISTRY_STORE_H_
#define ZIMRAX_AUTOMATION_CLASS_REGISTRY_STORE_H_

#include "zimrax/automation/class_registry.h"

namespace zimrax {

// The registration of ZmFile in this module.
ClassRegistration ZmFileRegistration();
// Adds or refreshes a registration; returns true when it was not there.
bool AddRegistration(const ClassRegistration& registration);
// Removes the class; returns true when it was registered.
bool RemoveRegistration(const Guid& clsid);

}  // namespace zimrax

#endif  // ZIMRAX_AUTOMATION_CLASS_REGISTRY_STORE_H_
