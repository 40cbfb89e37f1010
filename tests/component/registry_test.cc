// Creating ZmFile by its programmatic identifier and the four in-process
// server entry points.
#include <gtest/gtest.h>

#include <memory>

#include "zimrax/automation/automation_error.h"
#include "zimrax/automation/class_registry.h"
#include "zimrax/automation/entry_points.h"

namespace zimrax {
namespace {

// Every test leaves the class registered, as loading the library does.
class RegistryTest : public ::testing::Test {
 protected:
  void TearDown() override { DllRegisterServer(); }
};

TEST_F(RegistryTest, CreateObjectByProgId) {
  for (std::string_view prog_id : {"ZimraxFileIO.ZmFile", "zimraxfileio.zmfile", "ZIMRAXFILEIO.ZMFILE"}) {
    const std::unique_ptr<ZmFile> file = CreateObject(prog_id);
    ASSERT_NE(file, nullptr) << prog_id;
    Variant error_code;
    Variant empty_body = Variant::FromBytes({});
    EXPECT_EQ(file->ZmFormFieldValue(empty_body, Variant("x"), error_code).Type(), VariantType::kString);
  }
  // Each creation gives a new object, with a life of its own: the first
  // one's end leaves the second alive, counted and working.
  ASSERT_EQ(DllCanUnloadNow(), kSOk);
  std::unique_ptr<ZmFile> first = CreateObject(kProgIdZmFile);
  std::unique_ptr<ZmFile> second = CreateObject(kProgIdZmFile);
  if (first.get() == second.get()) {
    (void)second.release();  // one owner, so that the failure is not a double delete
    FAIL() << "the same object was handed out twice";
  }
  first.reset();
  EXPECT_EQ(DllCanUnloadNow(), kSFalse) << "the second object is no longer counted as alive";
  Variant error_code;
  Variant body = Variant::FromBytes({});
  EXPECT_EQ(second->ZmFormFieldValue(body, Variant("x"), error_code).Type(), VariantType::kString);
  second.reset();
  EXPECT_EQ(DllCanUnloadNow(), kSOk);
}

TEST_F(RegistryTest, UnknownProgIdCannotBeCreated) {
  for (std::string_view prog_id : {"", "ZimraxFileIO", "ZimraxFileIO.ZmFile2", "ZimraxFileIO.ZmFil", "Other.ZmFile"}) {
    try {
      (void)CreateObject(prog_id);
      ADD_FAILURE() << "created " << prog_id;
    } catch (const AutomationError& error) {
      EXPECT_EQ(error.Number(), 429);
      EXPECT_EQ(error.Description(), "ActiveX component can't create object");
    }
  }
}

TEST_F(RegistryTest, RegistrationDescribesTheClass) {
  const std::optional<ClassRegistration> registration = LookUpClass("ZimraxFileIO.ZmFile");
  ASSERT_TRUE(registration.has_value());
  EXPECT_EQ(registration->prog_id, "ZimraxFileIO.ZmFile");
  EXPECT_EQ(registration->clsid, kClsIdZmFile);
  EXPECT_EQ(registration->iid, kIidZmFile);
  EXPECT_EQ(registration->libid, kLibIdZimraxFileIO);
  EXPECT_EQ(registration->type_library_major, 1);
  EXPECT_EQ(registration->type_library_minor, 0);
  EXPECT_EQ(registration->threading_model, "Apartment");
  EXPECT_FALSE(registration->in_proc_server.empty());
  EXPECT_FALSE(LookUpClass("Nothing.Here").has_value());
}

TEST_F(RegistryTest, UnregisterAndRegisterAgain) {
  ASSERT_EQ(RegisteredClasses().size(), 1u);
  EXPECT_EQ(DllUnregisterServer(), kSOk);
  EXPECT_TRUE(RegisteredClasses().empty());
  EXPECT_FALSE(LookUpClass(kProgIdZmFile).has_value());
  EXPECT_THROW((void)CreateObject(kProgIdZmFile), AutomationError);
  EXPECT_EQ(DllUnregisterServer(), kSFalse);

  EXPECT_EQ(DllRegisterServer(), kSOk);
  EXPECT_EQ(DllRegisterServer(), kSOk);  // idempotent
  EXPECT_EQ(RegisteredClasses().size(), 1u);
  EXPECT_NE(CreateObject(kProgIdZmFile), nullptr);
}

TEST_F(RegistryTest, GetClassObjectHandsOutTheFactory) {
  for (const Guid& iid : {kIidIClassFactory, kIidIUnknown}) {
    std::shared_ptr<ClassFactory> factory;
    ASSERT_EQ(DllGetClassObject(kClsIdZmFile, iid, &factory), kSOk);
    ASSERT_NE(factory, nullptr);
    const std::unique_ptr<ZmFile> file = factory->CreateInstance();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->GetIDsOfNames("ZmFormFieldValue"), kDispIdZmFormFieldValue);
  }
}

TEST_F(RegistryTest, GetClassObjectRefusals) {
  std::shared_ptr<ClassFactory> factory;
  ASSERT_EQ(DllGetClassObject(kClsIdZmFile, kIidIClassFactory, &factory), kSOk);
  // A refusal also clears the output.
  EXPECT_EQ(DllGetClassObject(kIidZmFile, kIidIClassFactory, &factory), kClassENotAvailable);
  EXPECT_EQ(factory, nullptr);
  EXPECT_EQ(DllGetClassObject(kClsIdZmFile, kIidZmFile, &factory), kENoInterface);
  EXPECT_EQ(factory, nullptr);
  EXPECT_EQ(DllGetClassObject(kClsIdZmFile, kIidIClassFactory, nullptr), kEPointer);
}

TEST_F(RegistryTest, CanUnloadOnlyWithoutObjectsAndLocks) {
  ASSERT_EQ(DllCanUnloadNow(), kSOk);
  {
    const std::unique_ptr<ZmFile> file = CreateObject(kProgIdZmFile);
    const std::unique_ptr<ZmFile> second = std::make_unique<ZmFile>();
    EXPECT_EQ(DllCanUnloadNow(), kSFalse);
  }
  EXPECT_EQ(DllCanUnloadNow(), kSOk);

  std::shared_ptr<ClassFactory> factory;
  ASSERT_EQ(DllGetClassObject(kClsIdZmFile, kIidIClassFactory, &factory), kSOk);
  factory->LockServer(true);
  factory->LockServer(true);
  EXPECT_EQ(DllCanUnloadNow(), kSFalse);
  factory->LockServer(false);
  EXPECT_EQ(DllCanUnloadNow(), kSFalse);
  factory->LockServer(false);
  EXPECT_EQ(DllCanUnloadNow(), kSOk);

  // An unlock without a lock must not cancel the next real lock.
  factory->LockServer(false);
  EXPECT_EQ(DllCanUnloadNow(), kSOk);
  factory->LockServer(true);
  EXPECT_EQ(DllCanUnloadNow(), kSFalse);
  factory->LockServer(false);
  EXPECT_EQ(DllCanUnloadNow(), kSOk);
}

}  // namespace
}  // namespace zimrax
