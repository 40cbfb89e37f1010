// Reads the fields of a multipart/form-data request body with ZimraxFileIO,
// then stores its uploaded file in the directory given as the argument.
#include <iostream>
#include <string_view>
#include <vector>

#include "zimrax/zimrax.h"

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
  zimrax::Variant body = zimrax::Variant::FromBytes(std::vector<std::uint8_t>(kBody.begin(), kBody.end()));

  std::unique_ptr<zimrax::ZmFile> file = zimrax::CreateObject("ZimraxFileIO.ZmFile");
  for (const char* field : {"title", "doc", "year"}) {
    zimrax::Variant error_code;  // 0 on success, else a result code; the result is then its message
    zimrax::Variant result = file->ZmFormFieldValue(body, field, error_code);
    std::cout << field << ": ErrorCode " << error_code.ToInt32() << ", " << result.ToText() << '\n';
  }

  const char* directory = argc > 1 ? argv[1] : ".";
  zimrax::Variant error_code;
  zimrax::Variant stored = file->ZmFileSave(body, "doc", directory, error_code, "makeunique");
  std::cout << "saved: ErrorCode " << error_code.ToInt32() << ", " << stored.ToText() << '\n';
}
