#include "zimrax/automation/variant.h"

#include <algorithm>

#include "zimrax/automation/automation_error.h"

namespace zimrax {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

std::string_view VariantTypeName(VariantType type) {
  switch (type) {
    case VariantType::kEmpty: return "Empty";
    case VariantType::kNull: return "Null";
    case VariantType::kMissing: return "Missing";
    case VariantType::kString: return "String";
    case VariantType::kInt16: return "Int16";
    case VariantType::kInt32: return "Int32";
    case VariantType::kByteArray: return "ByteArray";
  }
  return "Unknown";
}

Variant::Variant(const char* text) {
  if (text == nullptr) throw AutomationError(RuntimeError::kInvalidUseOfNull);
  value_ = std::string(text);
}

Variant::Variant(const Variant& other) : value_(other.value_) {
  if (const auto* borrowed = std::get_if<BorrowedBytes>(&value_)) {
    value_ = std::vector<std::uint8_t>(borrowed->bytes.begin(), borrowed->bytes.end());
  }
}

Variant& Variant::operator=(const Variant& other) {
  if (this != &other) *this = Variant(other);
  return *this;
}

Variant Variant::Null() {
  Variant v;
  v.value_ = NullTag{};
  return v;
}

Variant Variant::Missing() {
  Variant v;
  v.value_ = MissingTag{};
  return v;
}

Variant Variant::FromBytes(std::vector<std::uint8_t> bytes) {
  Variant v;
  v.value_ = std::move(bytes);
  return v;
}

Variant Variant::BorrowBytes(std::span<const std::uint8_t> bytes) {
  Variant v;
  v.value_ = BorrowedBytes{bytes};
  return v;
}

VariantType Variant::Type() const {
  return std::visit(Overloaded{
                        [](std::monostate) { return VariantType::kEmpty; },
                        [](NullTag) { return VariantType::kNull; },
                        [](MissingTag) { return VariantType::kMissing; },
                        [](const std::string&) { return VariantType::kString; },
                        [](std::int16_t) { return VariantType::kInt16; },
                        [](std::int32_t) { return VariantType::kInt32; },
                        [](const std::vector<std::uint8_t>&) { return VariantType::kByteArray; },
                        [](const BorrowedBytes&) { return VariantType::kByteArray; },
                    },
                    value_);
}

std::string Variant::ToText() const {
  switch (Type()) {
    case VariantType::kEmpty: return "";
    case VariantType::kNull: throw AutomationError(RuntimeError::kInvalidUseOfNull);
    case VariantType::kMissing: throw AutomationError(RuntimeError::kTypeMismatch);
    case VariantType::kString: return std::get<std::string>(value_);
    case VariantType::kInt16: return std::to_string(std::get<std::int16_t>(value_));
    case VariantType::kInt32: return std::to_string(std::get<std::int32_t>(value_));
    case VariantType::kByteArray: {
      const auto bytes = Bytes();
      return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
  }
  throw AutomationError(RuntimeError::kTypeMismatch);
}

std::span<const std::uint8_t> Variant::Bytes() const {
  if (const auto* owned = std::get_if<std::vector<std::uint8_t>>(&value_)) return *owned;
  if (const auto* borrowed = std::get_if<BorrowedBytes>(&value_)) return borrowed->bytes;
  throw AutomationError(RuntimeError::kTypeMismatch);
}

std::int32_t Variant::ToInt32() const {
  if (const auto* n16 = std::get_if<std::int16_t>(&value_)) return *n16;
  if (const auto* n32 = std::get_if<std::int32_t>(&value_)) return *n32;
  throw AutomationError(RuntimeError::kTypeMismatch);
}

bool operator==(const Variant& a, const Variant& b) {
  if (a.Type() != b.Type()) return false;
  switch (a.Type()) {
    case VariantType::kEmpty:
    case VariantType::kNull:
    case VariantType::kMissing: return true;
    case VariantType::kString: return std::get<std::string>(a.value_) == std::get<std::string>(b.value_);
    case VariantType::kInt16:
    case VariantType::kInt32: return a.ToInt32() == b.ToInt32();
    case VariantType::kByteArray: {
      const auto x = a.Bytes();
      const auto y = b.Bytes();
      return std::equal(x.begin(), x.end(), y.begin(), y.end());
    }
  }
  return false;
}

}  // namespace zimrax
