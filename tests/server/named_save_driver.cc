// Test driver: one save with the named temporary files forced, as on a file
// system without O_TMPFILE, so that a test can kill it part-way.
// Usage: named_save_driver BODY_FILE FIELD DIR POLICY. Exit 0 when stored.
#include <fstream>
#include <iterator>
#include <string>

#include "storage/storage_test_seams.h"
#include "zimrax/form_data.h"

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  std::ifstream in(argv[1], std::ios::binary);
  const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  zimrax::ForceNamedTempFilesForTesting(true);
  const zimrax::OperationResult result =
      zimrax::FileSave({reinterpret_cast<const std::uint8_t*>(body.data()), body.size()}, argv[2], argv[3],
                       zimrax::ParseConflictPolicy(argv[4]));
  return result.ok() ? 0 : 1;
}
