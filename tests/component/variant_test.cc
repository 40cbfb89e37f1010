// Variant conversions and faults, the automation error channel, the result
// messages and identifiers.
#include "zimrax/automation/variant.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "zimrax/automation/automation_error.h"
#include "zimrax/automation/guid.h"
#include "zimrax/result_code.h"

namespace zimrax {
namespace {

using namespace std::string_view_literals;

// Runs `call`, which must throw AutomationError; returns it.
AutomationError CatchFault(const std::function<void()>& call) {
  try {
    call();
  } catch (const AutomationError& error) {
    return error;
  }
  ADD_FAILURE() << "no AutomationError thrown";
  return AutomationError(0, "none");
}

TEST(VariantTest, TypesAndTextForms) {
  const std::vector<std::uint8_t> bytes = {'h', 'i', 0, 0xff};
  const struct {
    Variant value;
    VariantType type;
    std::string_view type_name;
    std::string text;
  } kCases[] = {
      {Variant(), VariantType::kEmpty, "Empty", ""},
      {Variant("abc"), VariantType::kString, "String", "abc"},
      {Variant(std::string("na\xc3\xafve")), VariantType::kString, "String", "na\xc3\xafve"},
      {Variant(std::int16_t{-7}), VariantType::kInt16, "Int16", "-7"},
      {Variant(std::int32_t{70000}), VariantType::kInt32, "Int32", "70000"},
      {Variant::FromBytes(bytes), VariantType::kByteArray, "ByteArray", std::string("hi\0\xff"sv)},
      {Variant::BorrowBytes(bytes), VariantType::kByteArray, "ByteArray", std::string("hi\0\xff"sv)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.type_name);
    EXPECT_EQ(c.value.Type(), c.type);
    EXPECT_EQ(VariantTypeName(c.value.Type()), c.type_name);
    EXPECT_EQ(c.value.ToText(), c.text);
  }
  EXPECT_EQ(VariantTypeName(Variant::Null().Type()), "Null");
  EXPECT_EQ(VariantTypeName(Variant::Missing().Type()), "Missing");
}

TEST(VariantTest, NullAndMissingHaveNoTextForm) {
  const AutomationError null_fault = CatchFault([] { (void)Variant::Null().ToText(); });
  EXPECT_EQ(null_fault.Number(), 94);
  EXPECT_EQ(null_fault.Description(), "Invalid use of Null");
  const AutomationError missing_fault = CatchFault([] { (void)Variant::Missing().ToText(); });
  EXPECT_EQ(missing_fault.Number(), 13);
  EXPECT_EQ(missing_fault.Description(), "Type mismatch");
}

TEST(VariantTest, BytesAndNumbersOnlyFromTheirOwnTypes) {
  for (const Variant& v : {Variant(), Variant::Null(), Variant::Missing(), Variant("ab"), Variant(std::int16_t{1})}) {
    SCOPED_TRACE(VariantTypeName(v.Type()));
    EXPECT_EQ(CatchFault([&] { (void)v.Bytes(); }).Number(), 13);
  }
  for (const Variant& v : {Variant(), Variant::Null(), Variant("12"), Variant::FromBytes({1})}) {
    SCOPED_TRACE(VariantTypeName(v.Type()));
    EXPECT_EQ(CatchFault([&] { (void)v.ToInt32(); }).Number(), 13);
  }
  EXPECT_EQ(Variant(std::int16_t{-32768}).ToInt32(), -32768);
  EXPECT_EQ(Variant(std::int32_t{-2147483647 - 1}).ToInt32(), -2147483647 - 1);
}

TEST(VariantTest, BorrowedBytesAreViewedButACopyOwnsThem) {
  auto body = std::make_unique<std::vector<std::uint8_t>>(std::vector<std::uint8_t>{1, 2, 3});
  Variant borrowed = Variant::BorrowBytes(*body);
  EXPECT_EQ(borrowed.Bytes().data(), body->data());
  const Variant copy = borrowed;
  Variant assigned;
  assigned = borrowed;
  const Variant moved = std::move(borrowed);
  EXPECT_EQ(moved.Bytes().data(), body->data());  // a move keeps the view
  body.reset();  // the copies must not dangle (AddressSanitizer checks the reads)
  for (const Variant* v : std::initializer_list<const Variant*>{&copy, &assigned}) {
    EXPECT_EQ(v->Type(), VariantType::kByteArray);
    EXPECT_EQ(*v, Variant::FromBytes({1, 2, 3}));
  }
}

// Only the exact 16- and 32-bit integers convert; other arithmetic types
// would change width or meaning silently.
static_assert(std::is_constructible_v<Variant, std::int16_t>);
static_assert(std::is_constructible_v<Variant, std::int32_t>);
static_assert(!std::is_constructible_v<Variant, bool>);
static_assert(!std::is_constructible_v<Variant, char>);
static_assert(!std::is_constructible_v<Variant, std::size_t>);
static_assert(!std::is_constructible_v<Variant, std::int64_t>);
static_assert(!std::is_constructible_v<Variant, double>);

TEST(VariantTest, NullTextPointerIsInvalidUseOfNull) {
  const char* nothing = nullptr;
  try {
    const Variant v(nothing);
    FAIL() << "no fault";
  } catch (const AutomationError& error) {
    EXPECT_EQ(error.Number(), 94);
  }
}

TEST(VariantTest, EqualityIsSameTypeAndValue) {
  const std::vector<std::uint8_t> bytes = {1, 2};
  EXPECT_EQ(Variant::FromBytes(bytes), Variant::BorrowBytes(bytes));
  EXPECT_NE(Variant::FromBytes(bytes), Variant::FromBytes({1, 3}));
  EXPECT_NE(Variant(std::int16_t{0}), Variant(std::int32_t{0}));
  EXPECT_NE(Variant(), Variant(""));
  EXPECT_NE(Variant::Null(), Variant::Missing());
  EXPECT_EQ(Variant("a"), Variant(std::string("a")));
  EXPECT_EQ(Variant::Null(), Variant::Null());
}

TEST(AutomationErrorTest, NumbersAndDescriptions) {
  const struct {
    RuntimeError error;
    int number;
    std::string_view description;
  } kCases[] = {
      {RuntimeError::kOverflow, 6, "Overflow"},
      {RuntimeError::kSubscriptOutOfRange, 9, "Subscript out of range"},
      {RuntimeError::kTypeMismatch, 13, "Type mismatch"},
      {RuntimeError::kInvalidUseOfNull, 94, "Invalid use of Null"},
      {RuntimeError::kCannotCreateObject, 429, "ActiveX component can't create object"},
      {RuntimeError::kObjectDoesNotSupportMethod, 438, "Object doesn't support this property or method"},
      {RuntimeError::kArgumentNotOptional, 449, "Argument not optional"},
      {RuntimeError::kWrongNumberOfArguments, 450, "Wrong number of arguments or invalid property assignment"},
  };
  for (const auto& c : kCases) {
    const AutomationError error(c.error);
    EXPECT_EQ(error.Number(), c.number);
    EXPECT_EQ(error.Description(), c.description);
    EXPECT_STREQ(error.what(), std::string(c.description).c_str());
  }
}

TEST(ResultMessageTest, FixedTextsPerOperation) {
  using enum ResultCode;
  const struct {
    ResultCode code;
    std::string_view save;
    std::string_view value;
  } kCases[] = {
      {kOk, "", ""},
      {kFieldNameNotFound, "Error: Form Field Name not found.", "Error: Form Field Name not found."},
      {kDispositionNotFound, "Error: Can not locate 'Content-Disposition' text.",
       "Error: Can not locate 'Content-Disposition' text."},
      {kFilenameNotFound, "Error: Can not locate filename in form field.",
       "Error: Can not locate filename in form field."},
      {kBadFormFilename, "Error: Bad Form Filename.", "Error: Bad Form Filename."},
      {kDataNotFound, "Error: Can not locate binary file data.", "Error: Can not locate form field data."},
      {kFileAlreadyExists, "Error: File Already Exists.", "Error: File Already Exists."},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(ResultMessage(c.code, Operation::kFileSave), c.save);
    EXPECT_EQ(ResultMessage(c.code, Operation::kFormFieldValue), c.value);
  }
}

TEST(GuidTest, TextFormRoundTrips) {
  EXPECT_EQ(kLibIdZimraxFileIO.ToString(), "{5EBE8E8D-4C9B-41E3-82C7-C002E1866996}");
  EXPECT_EQ(kIidIClassFactory.ToString(), "{00000001-0000-0000-C000-000000000046}");
  for (const Guid& guid : {kLibIdZimraxFileIO, kClsIdZmFile, kIidZmFile, kIidIUnknown}) {
    EXPECT_EQ(Guid::Parse(guid.ToString()), guid);
  }
  EXPECT_EQ(Guid::Parse("dae9cf98-74db-4acb-adf0-c005169ac15f"), kClsIdZmFile);
  for (std::string_view bad : {""sv, "{DAE9CF98-74DB-4ACB-ADF0-C005169AC15F"sv,
                               "DAE9CF98x74DB-4ACB-ADF0-C005169AC15F"sv, "DAE9CF98-74DB-4ACB-ADF0-C005169AC15G"sv,
                               "{DAE9CF98-74DB-4ACB-ADF0-C005169AC15F}}"sv}) {
    EXPECT_FALSE(Guid::Parse(bad).has_value()) << bad;
  }
  // The component's own identifiers are distinct.
  EXPECT_NE(kClsIdZmFile, kIidZmFile);
  EXPECT_NE(kClsIdZmFile, kLibIdZimraxFileIO);
}

}  // namespace
}  // namespace zimrax
