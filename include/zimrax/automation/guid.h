// A 128-bit class, interface or library identifier, and the fixed
// identifiers of this component.
#ifndef ZIMRAX_AUTOMATION_GUID_H_
#define ZIMRAX_AUTOMATION_GUID_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "zimrax/export.h"

namespace zimrax {

struct ZIMRAX_EXPORT Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::array<std::uint8_t, 8> data4{};

  // "{5EBE8E8D-4C9B-41E3-82C7-C002E1866996}" form, upper case.
  std::string ToString() const;
  // Accepts the form above, with or without braces, in any case.
  static std::optional<Guid> Parse(std::string_view text);

  friend bool operator==(const Guid&, const Guid&) = default;
};

// Type library ZimraxFileIO 1.0, coclass ZmFile and its interface _ZmFile.
inline constexpr Guid kLibIdZimraxFileIO{0x5EBE8E8D, 0x4C9B, 0x41E3, {0x82, 0xC7, 0xC0, 0x02, 0xE1, 0x86, 0x69, 0x96}};
inline constexpr Guid kClsIdZmFile{0xDAE9CF98, 0x74DB, 0x4ACB, {0xAD, 0xF0, 0xC0, 0x05, 0x16, 0x9A, 0xC1, 0x5F}};
inline constexpr Guid kIidZmFile{0x459F80DC, 0xC9F2, 0x4174, {0x93, 0xEA, 0xFC, 0xDE, 0x6A, 0x1C, 0x93, 0xCF}};
// The standard IUnknown and IClassFactory interface identifiers.
inline constexpr Guid kIidIUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr Guid kIidIClassFactory{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

}  // namespace zimrax

#endif  // ZIMRAX_AUTOMATION_GUID_H_
