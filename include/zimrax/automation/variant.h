// zimrax::Variant: the tagged value that carries every argument and result of
// the automation interface. It is Empty, Null, the omitted-argument marker
// (Missing), a String, an Int16, an Int32 or a byte array.
//
// Text is a std::string of bytes, one character per byte, never transcoded.
// A byte array either owns its bytes or borrows the caller's (BorrowBytes),
// so a request body is never copied on its way into the component.
#ifndef ZIMRAX_AUTOMATION_VARIANT_H_
#define ZIMRAX_AUTOMATION_VARIANT_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "zimrax/export.h"

namespace zimrax {

enum class VariantType { kEmpty, kNull, kMissing, kString, kInt16, kInt32, kByteArray };

// Returns "Empty", "Null", "Missing", "String", "Int16", "Int32" or "ByteArray".
ZIMRAX_EXPORT std::string_view VariantTypeName(VariantType type);

class ZIMRAX_EXPORT Variant {
 public:
  Variant() = default;  // Empty
  Variant(std::string text) : value_(std::move(text)) {}  // NOLINT: implicit by design
  // Throws AutomationError 94 "Invalid use of Null" for a null pointer.
  Variant(const char* text);  // NOLINT
  Variant(std::string_view text) : value_(std::string(text)) {}  // NOLINT
  Variant(std::int16_t number) : value_(number) {}  // NOLINT
  Variant(std::int32_t number) : value_(number) {}  // NOLINT
  // Only the exact integer types above: a bool, a char, a size_t or a
  // double would otherwise turn silently into a number of another width.
  template <typename T>
    requires(std::is_arithmetic_v<T> && !std::is_same_v<T, std::int16_t> && !std::is_same_v<T, std::int32_t>)
  Variant(T) = delete;

  // A copy owns its bytes, also the copy of a borrowed byte array, so that
  // it cannot outlive the buffer it was borrowed from.
  Variant(const Variant& other);
  Variant& operator=(const Variant& other);
  Variant(Variant&&) noexcept = default;
  Variant& operator=(Variant&&) noexcept = default;
  ~Variant() = default;

  static Variant Null();
  static Variant Missing();
  // A byte array that owns a copy-free moved-in vector.
  static Variant FromBytes(std::vector<std::uint8_t> bytes);
  // A byte array that views `bytes`. REQUIRES: they outlive the Variant
  // (a copy of it owns a copy of the bytes).
  static Variant BorrowBytes(std::span<const std::uint8_t> bytes);

  VariantType Type() const;
  bool IsEmpty() const { return Type() == VariantType::kEmpty; }
  bool IsNull() const { return Type() == VariantType::kNull; }
  bool IsMissing() const { return Type() == VariantType::kMissing; }

  // The text form: Empty gives "", a string itself, a number its decimal
  // digits, a byte array one character per byte.
  // Throws AutomationError 94 "Invalid use of Null" for Null and
  // 13 "Type mismatch" for the omitted-argument marker.
  std::string ToText() const;

  // The bytes of a byte array. Throws AutomationError 13 "Type mismatch"
  // for any other type.
  std::span<const std::uint8_t> Bytes() const;

  // The numeric value of an Int16 or Int32. Throws AutomationError 13 for any
  // other type.
  std::int32_t ToInt32() const;

  // Same type and same value; byte arrays compare by content.
  // A friend does not take the class's visibility: exported on its own.
  friend ZIMRAX_EXPORT bool operator==(const Variant& a, const Variant& b);

 private:
  struct NullTag {};
  struct MissingTag {};
  struct BorrowedBytes {
    std::span<const std::uint8_t> bytes;
  };

  std::variant<std::monostate, NullTag, MissingTag, std::string, std::int16_t, std::int32_t,
               std::vector<std::uint8_t>, BorrowedBytes>
      value_;
};

}  // namespace zimrax

#endif  // ZIMRAX_AUTOMATION_VARIANT_H_
