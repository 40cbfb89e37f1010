// Reads the fields of a multipart/form-data request body with ZimraxFileIO,
// then stores its uploaded file in the directory given as the argument.
#include <cstdint>
#include <iostream>
#include <span>
#include <string_view>

#include "zimrax/form_data.h"

int main(int argc, char** argv) {
  // The raw body of a POST, as the web server received it.
  constexpr std::string_view kBody =
      "--AaB03x\r\n"
      "Content-Disposition: form-data; name=\"title\"\r\n\r\n"
      "Q3\r\n"
      "--AaB03x\r\n"
      "Content-Disposition: form-data; name=\"doc\"; filename=\"q3.csv\"\r\n\r\n"
      "1,2\r\n"
      "--AaB03x--\r\n";
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(kBody.data()), kBody.size());

  for (const char* field : {"title", "doc", "year"}) {
    // code is 0 on success, else a result code; text is then its message.
    const zimrax::OperationResult value = zimrax::FormFieldValue(bytes, field);
    std::cout << field << ": ErrorCode " << value.code << ", " << value.text << '\n';
  }

  const char* directory = argc > 1 ? argv[1] : ".";
  const zimrax::OperationResult saved =
      zimrax::FileSave(bytes, "doc", directory, zimrax::ConflictPolicy::kMakeUnique);
  std::cout << "saved: ErrorCode " << saved.code << ", " << saved.stored_name << '\n';
}
