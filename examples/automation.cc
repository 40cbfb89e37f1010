// The same component reached as a page script reaches it: a ZmFile object
// created by its ProgID, Variant arguments, ErrorCode by reference.
#include <iostream>
#include <memory>
#include <string_view>
#include <vector>

#include "zimrax/zimrax.h"

int main() {
  constexpr std::string_view kBody =
      "--AaB03x\r\n"
      "Content-Disposition: form-data; name=\"title\"\r\n\r\n"
      "Q3\r\n"
      "--AaB03x--\r\n";
  zimrax::Variant body = zimrax::Variant::FromBytes(std::vector<std::uint8_t>(kBody.begin(), kBody.end()));

  std::unique_ptr<zimrax::ZmFile> file = zimrax::CreateObject("ZimraxFileIO.ZmFile");
  const zimrax::DispId id = file->GetIDsOfNames("ZmFormFieldValue");
  zimrax::Variant error_code;
  zimrax::DispatchArgument arguments[] = {zimrax::DispatchArgument::ByRef(body),
                                          zimrax::DispatchArgument::ByValue(zimrax::Variant("title")),
                                          zimrax::DispatchArgument::ByRef(error_code)};
  const zimrax::Variant title = file->Invoke(id, arguments);
  std::cout << "title: ErrorCode " << error_code.ToInt32() << ", " << title.ToText() << '\n';
}
