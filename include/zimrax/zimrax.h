// Umbrella header: the typed API and the automation layer over it.
// A C++ caller needs only zimrax/form_data.h.
#ifndef ZIMRAX_ZIMRAX_H_
#define ZIMRAX_ZIMRAX_H_

// The typed API.
#include "zimrax/abandoned_temp_files.h"
#include "zimrax/conflict_policy.h"
#include "zimrax/form_data.h"
#include "zimrax/staged_file.h"
#include "zimrax/operation_result.h"
#include "zimrax/result_code.h"
#include "zimrax/runtime_error.h"
#include "zimrax/save_options.h"
#include "zimrax/version.h"

// The automation layer: ZmFile by ProgID and DISPID, Variant arguments.
#include "zimrax/automation/automation_error.h"
#include "zimrax/automation/class_registry.h"
#include "zimrax/automation/dispatch.h"
#include "zimrax/automation/entry_points.h"
#include "zimrax/automation/guid.h"
#include "zimrax/automation/variant.h"
#include "zimrax/automation/zm_file.h"

#endif  // ZIMRAX_ZIMRAX_H_
