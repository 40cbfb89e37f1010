// The module's one class factory, which makes ZmFile objects.
#ifndef ZIMRAX_AUTOMATION_ZM_FILE_FACTORY_H_
#define ZIMRAX_AUTOMATION_ZM_FILE_FACTORY_H_

#include "zimrax/automation/class_registry.h"

namespace zimrax {

ClassFactory& ZmFileClassFactory();

}  // namespace zimrax

#endif  // ZIMRAX_AUTOMATION_ZM_FILE_FACTORY_H_
