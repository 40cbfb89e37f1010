// Umbrella header: everything a host needs to use the component.
#ifndef ZIMRAX_ZIMRAX_H_
#define ZIMRAX_ZIMRAX_H_

#include "zimrax/automation_error.h"
#include "zimrax/class_registry.h"
#include "zimrax/dispatch.h"
#include "zimrax/entry_points.h"
#include "zimrax/guid.h"
#include "zimrax/result_code.h"
#include "zimrax/runtime_error.h"
#include "zimrax/variant.h"
#include "zimrax/version.h"
#include "zimrax/zm_file.h"

#endif  // ZIMRAX_ZIMRAX_H_
