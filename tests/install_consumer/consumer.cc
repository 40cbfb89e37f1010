// Uses an installed ZimraxFileIO through its umbrella header: prints the
// version and one result message, and fails when either is not the one
// expected (EXPECTED_VERSION comes from the build that found the package).
#include <iostream>
#include <string_view>

#include "zimrax/zimrax.h"

int main() {
  const std::string_view message =
      zimrax::ResultMessage(zimrax::ResultCode::kBadFormFilename, zimrax::Operation::kFileSave);
  std::cout << "version " << zimrax::kVersionString << "\nresult 104: " << message << '\n';
  if (zimrax::kVersionString != EXPECTED_VERSION) {
    std::cerr << "consumer: the header says " << zimrax::kVersionString << ", the package " << EXPECTED_VERSION << '\n';
    return 1;
  }
  return message == "Error: Bad Form Filename." ? 0 : 1;
}
