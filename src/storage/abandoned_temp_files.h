// The start-up sweep of abandoned temporary files is public: its contract
// is in zimrax/abandoned_temp_files.h. Temporary file names: see
// IsTempFileName.
#ifndef ZIMRAX_STORAGE_ABANDONED_TEMP_FILES_H_
#define ZIMRAX_STORAGE_ABANDONED_TEMP_FILES_H_

#include "zimrax/abandoned_temp_files.h"

#endif  // ZIMRAX_STORAGE_ABANDONED_TEMP_FILES_H_
