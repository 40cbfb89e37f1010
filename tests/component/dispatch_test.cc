// Late-bound dispatch: names to ids, and Invoke with by-value, by-reference
// and omitted arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/multipart_body.h"
#include "zimrax/automation/automation_error.h"
#include "zimrax/automation/class_registry.h"
#include "zimrax/automation/dispatch.h"

namespace zimrax {
namespace {

using testing::Close;
using testing::Field;

int FaultNumber(ZmFile& file, DispId id, std::vector<DispatchArgument> arguments) {
  try {
    (void)file.Invoke(id, arguments);
  } catch (const AutomationError& error) {
    return error.Number();
  }
  return 0;
}

class DispatchTest : public ::testing::Test {
 protected:
  DispatchTest() : body_text_(Field("title", "Q3") + Close()), file_(CreateObject("ZimraxFileIO.ZmFile")) {
    body_ = Variant::FromBytes(std::vector<std::uint8_t>(body_text_.begin(), body_text_.end()));
  }

  std::string body_text_;
  Variant body_;
  std::unique_ptr<ZmFile> file_;
};

TEST_F(DispatchTest, NamesMapToFixedIds) {
  EXPECT_EQ(file_->GetIDsOfNames("ZmFileSave"), 0x60030000);
  EXPECT_EQ(file_->GetIDsOfNames("ZmFormFieldValue"), 0x60030001);
  EXPECT_EQ(file_->GetIDsOfNames("zmformfieldvalue"), kDispIdZmFormFieldValue);
  EXPECT_EQ(file_->GetIDsOfNames("ZMFILESAVE"), kDispIdZmFileSave);
  for (std::string_view unknown : {"", "ZmFormFieldValu", "ZmFormFieldValue ", "CrLfBytes", "LocateFormField"}) {
    try {
      (void)file_->GetIDsOfNames(unknown);
      ADD_FAILURE() << "resolved " << unknown;
    } catch (const AutomationError& error) {
      EXPECT_EQ(error.Number(), 438);
      EXPECT_EQ(error.Description(), "Object doesn't support this property or method");
    }
  }
}

TEST_F(DispatchTest, InvokeWritesByReferenceArguments) {
  Variant error_code(std::int32_t{77});
  std::vector<DispatchArgument> arguments = {DispatchArgument::ByRef(body_), DispatchArgument::ByValue("title"),
                                             DispatchArgument::ByRef(error_code)};
  const Variant result = file_->Invoke(file_->GetIDsOfNames("ZmFormFieldValue"), arguments);
  EXPECT_EQ(result, Variant("Q3"));
  EXPECT_EQ(error_code, Variant(std::int16_t{0}));

  // The same call made directly gives the same.
  Variant direct_code;
  EXPECT_EQ(file_->ZmFormFieldValue(body_, "title", direct_code), result);
  EXPECT_EQ(direct_code, error_code);
}

TEST_F(DispatchTest, ByValueArgumentsAreCopies) {
  Variant error_code(std::int32_t{77});
  std::vector<DispatchArgument> arguments = {DispatchArgument::ByValue(body_), DispatchArgument::ByValue("nope"),
                                             DispatchArgument::ByValue(error_code)};
  EXPECT_EQ(file_->Invoke(kDispIdZmFormFieldValue, arguments),
            Variant("Error: Can not locate 'Content-Disposition' text."));
  EXPECT_EQ(arguments[2].Get(), Variant(std::int16_t{102}));  // the callee's copy
  EXPECT_EQ(error_code, Variant(std::int32_t{77}));           // the caller's own
}

TEST_F(DispatchTest, FaultsOfTheCallPassThrough) {
  Variant error_code(std::int32_t{77});
  EXPECT_EQ(FaultNumber(*file_, kDispIdZmFormFieldValue,
                        {DispatchArgument::ByRef(body_), DispatchArgument::ByValue(Variant::Null()),
                         DispatchArgument::ByRef(error_code)}),
            94);
  EXPECT_EQ(error_code, Variant(std::int32_t{77}));
}

TEST_F(DispatchTest, WrongIdCountOrMissingRequiredArgument) {
  Variant error_code;
  auto ref = [](Variant& v) { return DispatchArgument::ByRef(v); };
  const DispId value_id = kDispIdZmFormFieldValue;
  EXPECT_EQ(FaultNumber(*file_, 0x60030002, {ref(body_), DispatchArgument::ByValue("a"), ref(error_code)}), 438);
  EXPECT_EQ(FaultNumber(*file_, 0, {}), 438);
  EXPECT_EQ(FaultNumber(*file_, value_id, {}), 450);
  EXPECT_EQ(FaultNumber(*file_, value_id, {ref(body_), DispatchArgument::ByValue("a")}), 450);
  EXPECT_EQ(FaultNumber(*file_, value_id,
                        {ref(body_), DispatchArgument::ByValue("a"), ref(error_code), DispatchArgument::ByValue(1)}),
            450);
  EXPECT_EQ(FaultNumber(*file_, value_id, {ref(body_), DispatchArgument::Omitted(), ref(error_code)}), 449);
  EXPECT_EQ(FaultNumber(*file_, value_id, {ref(body_), DispatchArgument::ByValue("a"), DispatchArgument::Omitted()}),
            449);
  Variant missing = Variant::Missing();
  EXPECT_EQ(FaultNumber(*file_, value_id, {ref(missing), DispatchArgument::ByValue("a"), ref(error_code)}), 449);
  EXPECT_TRUE(error_code.IsEmpty());  // no call ran
}

// ZmFileSave takes four to eight arguments; optional ones may be left off
// or passed as omitted. A body that is no byte array shows that the call
// got through dispatch into the method.
TEST_F(DispatchTest, FileSaveArgumentCounts) {
  Variant not_bytes("not a byte array");
  Variant error_code(std::int32_t{5});
  auto arguments = [&](std::size_t count, bool omit_optional) {
    std::vector<DispatchArgument> list = {DispatchArgument::ByRef(not_bytes), DispatchArgument::ByValue("f"),
                                          DispatchArgument::ByValue("/tmp"), DispatchArgument::ByRef(error_code)};
    while (list.size() < count) {
      list.push_back(omit_optional ? DispatchArgument::Omitted() : DispatchArgument::ByValue("error"));
    }
    list.resize(count, DispatchArgument::Omitted());
    return list;
  };
  for (std::size_t count = 4; count <= 8; ++count) {
    for (bool omit : {false, true}) {
      SCOPED_TRACE(std::to_string(count) + (omit ? " omitted" : " given"));
      EXPECT_EQ(FaultNumber(*file_, kDispIdZmFileSave, arguments(count, omit)), 13);
    }
  }
  EXPECT_EQ(FaultNumber(*file_, kDispIdZmFileSave, arguments(3, false)), 450);
  EXPECT_EQ(FaultNumber(*file_, kDispIdZmFileSave, arguments(9, false)), 450);
  EXPECT_EQ(error_code, Variant(std::int32_t{5}));
}

}  // namespace
}  // namespace zimrax
