// ZmFileSave end to end through the automation layer: what is stored, under
// which name, with which ErrorCode, and that nothing else is left on disk.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/multipart_body.h"
#include "support/scoped_temp_dir.h"
#include "zimrax/automation/automation_error.h"
#include "zimrax/result_code.h"
#include "zimrax/automation/zm_file.h"
#include "zimrax/form_data.h"

namespace zimrax {
namespace {

using testing::MultipartBody;
using testing::ReadFile;
using testing::ScopedTempDir;
using testing::WriteFile;

// The 196-byte body of the worked example in the README.
const std::string kWorkedExample =
    "--AaB03x\r\n"
    "Content-Disposition: form-data; name=\"title\"\r\n"
    "\r\n"
    "Q3\r\n"
    "--AaB03x\r\n"
    "Content-Disposition: form-data; name=\"doc\"; filename=\"C:\\Reports\\q3.csv\"\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "1,2\r\n"
    "3,4\r\n"
    "--AaB03x--\r\n";

struct SaveResult {
  Variant result;
  Variant error_code;
};

SaveResult Save(const std::string& body, std::string_view field, const std::string& directory,
                const Variant& conflict = Variant::Missing()) {
  ZmFile file;
  Variant form_data = Variant::FromBytes(std::vector<std::uint8_t>(body.begin(), body.end()));
  SaveResult r;
  r.error_code = Variant(std::int16_t{-1});
  r.result = file.ZmFileSave(form_data, Variant(std::string(field)), Variant(directory), r.error_code, conflict);
  return r;
}

TEST(FileSaveTest, WorkedExampleStoresEightBytesUnderTheLastPieceOfTheClientPath) {
  ASSERT_EQ(kWorkedExample.size(), 196u);
  ScopedTempDir dir;
  const SaveResult r = Save(kWorkedExample, "doc", dir.Path());
  EXPECT_EQ(r.error_code, Variant(std::int16_t{0}));
  EXPECT_EQ(r.result, Variant("q3.csv"));
  EXPECT_EQ(ReadFile(dir.path() / "q3.csv"), "1,2\r\n3,4");
  EXPECT_EQ(dir.Entries(), (std::set<std::string>{"q3.csv"}));

  const SaveResult again = Save(kWorkedExample, "doc", dir.Path(), Variant("makeunique"));
  EXPECT_EQ(again.result, Variant("q3(1).csv"));
  EXPECT_EQ(ReadFile(dir.path() / "q3(1).csv"), "1,2\r\n3,4");
}

TEST(FileSaveTest, StoresExactlyTheDataBytes) {
  std::string binary;
  for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
  const std::string boundary = "----WebKitFormBoundaryx8RzLq3v9TmZcPd1";
  const struct {
    const char* label;
    std::string data;
  } kCases[] = {
      {"empty upload", ""},
      {"one byte", "x"},
      {"CR LF pairs and blank lines", "\r\n\r\nline\r\n\r\n\r\n"},
      {"all byte values", binary + binary},
      {"near-boundary bytes", "\r\n--" + boundary.substr(0, boundary.size() - 1) + "\r\n--"},
      {"larger than one write chunk", std::string(3 * 1024 * 1024 + 7, 'z')},
  };
  for (const auto& c : kCases) {
    ScopedTempDir dir;
    const std::string body = MultipartBody(boundary).Field("note", "hi").File("upload1", "f.bin", c.data).Build();
    const SaveResult r = Save(body, "upload1", dir.Path());
    EXPECT_EQ(r.error_code, Variant(std::int16_t{0})) << c.label;
    EXPECT_EQ(r.result, Variant("f.bin")) << c.label;
    EXPECT_EQ(ReadFile(dir.path() / "f.bin"), c.data) << c.label;
    EXPECT_EQ(dir.Entries().size(), 1u) << c.label;
  }
}

TEST(FileSaveTest, WhereTheDataEnds) {
  const std::string delimiter = "--XyZ";
  const std::string head = delimiter + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n\r\n";
  const struct {
    const char* label;
    std::string body;
    std::string stored;
  } kCases[] = {
      // With no later delimiter, every byte through the last one is stored.
      {"no closing delimiter", head + "hello", "hello"},
      // A body that ends exactly with its delimiter line still ends the data there.
      {"ends with the bare delimiter line", head + "hello\r\n" + delimiter, "hello"},
      // The delimiter's bytes inside the data cut it, dropping the two bytes in front.
      {"delimiter inside the data", head + "abcd--XyZcd\r\n" + delimiter + "--\r\n", "ab"},
      // The data's last two bytes are dropped whatever they are.
      {"two bytes before the delimiter", head + "abcXY" + delimiter + "--\r\n", "abc"},
  };
  for (const auto& c : kCases) {
    ScopedTempDir dir;
    const SaveResult r = Save(c.body, "f", dir.Path());
    EXPECT_EQ(r.error_code, Variant(std::int16_t{0})) << c.label;
    EXPECT_EQ(ReadFile(dir.path() / "a.txt"), c.stored) << c.label;
  }
}

TEST(FileSaveTest, ResultCodesLeaveNoFile) {
  const std::string complete = MultipartBody("b0undary").Field("title", "Q3").File("doc", "a.txt", "data").Build();
  const std::string cut = MultipartBody("b0undary").Field("title", "Q3").BuildUnterminated();
  const struct {
    const char* label;
    std::string body;
    std::string field;
    std::int16_t code;
    std::string message;
  } kCases[] = {
      {"name in no section", complete, "nope", 102, "Error: Can not locate 'Content-Disposition' text."},
      {"name in no section of a cut body", cut, "nope", 101, "Error: Form Field Name not found."},
      {"case matters", complete, "DOC", 102, "Error: Can not locate 'Content-Disposition' text."},
      {"empty field name", complete, "", 102, "Error: Can not locate 'Content-Disposition' text."},
      {"plain field", complete, "title", 103, "Error: Can not locate filename in form field."},
      {"filename only on a later line",
       "--b\r\nContent-Disposition: form-data; name=\"f\"\r\nX: filename=\"a.txt\"\r\n\r\nd\r\n--b--\r\n", "f", 103,
       "Error: Can not locate filename in form field."},
      {"no CR LF at all", "--b Content-Disposition: form-data; name=\"f\"; filename=\"a.txt\" data", "f", 103,
       "Error: Can not locate filename in form field."},
      {"empty file name", MultipartBody().File("f", "", "data").Build(), "f", 104, "Error: Bad Form Filename."},
      {"name that is a directory reference", MultipartBody().File("f", "..", "x").Build(), "f", 104,
       "Error: Bad Form Filename."},
      {"client path ending in a separator", MultipartBody().File("f", "C:\\dir\\", "x").Build(), "f", 104,
       "Error: Bad Form Filename."},
      {"dot after a slash", MultipartBody().File("f", "a/.", "x").Build(), "f", 104, "Error: Bad Form Filename."},
      {"NUL in the name", MultipartBody().File("f", std::string("a\0b", 3), "x").Build(), "f", 104,
       "Error: Bad Form Filename."},
      {"headers never end", "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\nX: y\r\n", "f",
       105, "Error: Can not locate binary file data."},
  };
  for (const auto& c : kCases) {
    ScopedTempDir dir;
    const SaveResult r = Save(c.body, c.field, dir.Path());
    EXPECT_EQ(r.error_code, Variant(c.code)) << c.label;
    EXPECT_EQ(r.result, Variant(c.message)) << c.label;
    EXPECT_TRUE(dir.Entries().empty()) << c.label;
  }
}

TEST(FileSaveTest, OneByteFileNameIsStored) {
  ScopedTempDir dir;
  const SaveResult r = Save(MultipartBody().File("f", "a", "xyz").Build(), "f", dir.Path());
  EXPECT_EQ(r.error_code, Variant(std::int16_t{0}));
  EXPECT_EQ(r.result, Variant("a"));
  EXPECT_EQ(ReadFile(dir.path() / "a"), "xyz");
}

TEST(FileSaveTest, FirstOfTwoSectionsWithTheSameName) {
  ScopedTempDir dir;
  const std::string body = MultipartBody().File("f", "one.txt", "1").File("f", "two.txt", "2").Build();
  EXPECT_EQ(Save(body, "f", dir.Path()).result, Variant("one.txt"));
  EXPECT_EQ(dir.Entries(), (std::set<std::string>{"one.txt"}));
}

TEST(FileSaveTest, PolicyText) {
  const std::string body = MultipartBody().File("f", "a.txt", "new").Build();
  const struct {
    Variant conflict;
    std::int16_t code;
    std::string stored;  // content of a.txt afterwards
  } kCases[] = {
      {Variant::Missing(), 106, "old"},        {Variant("error"), 106, "old"},
      {Variant("rename"), 106, "old"},         {Variant(""), 106, "old"},
      {Variant(" overwrite"), 106, "old"},     {Variant("overwrite"), 0, "new"},
      {Variant("OverWrite"), 0, "new"},        {Variant("MAKEUNIQUE"), 0, "old"},
  };
  for (const auto& c : kCases) {
    ScopedTempDir dir;
    WriteFile(dir.path() / "a.txt", "old");
    const SaveResult r = Save(body, "f", dir.Path(), c.conflict);
    EXPECT_EQ(r.error_code, Variant(c.code)) << c.conflict.ToText();
    EXPECT_EQ(ReadFile(dir.path() / "a.txt"), c.stored) << c.conflict.ToText();
    if (c.code == 106) {
      EXPECT_EQ(r.result, Variant("Error: File Already Exists."));
    }
  }
}

TEST(FileSaveTest, MakeUniqueNumbering) {
  const struct {
    std::string name;
    std::vector<std::string> expected;  // stored names of consecutive saves
  } kCases[] = {
      {"report.pdf", {"report.pdf", "report(1).pdf", "report(2).pdf"}},
      {"archive.tar.gz", {"archive.tar.gz", "archive.tar(1).gz"}},
      {"readme", {"readme", "readme(1)."}},
      {".profile", {".profile", "(1).profile"}},
      {"notes.", {"notes.", "notes(1)."}},
  };
  for (const auto& c : kCases) {
    ScopedTempDir dir;
    const std::string body = MultipartBody().File("f", c.name, "x").Build();
    for (const std::string& expected : c.expected) {
      EXPECT_EQ(Save(body, "f", dir.Path(), Variant("makeunique")).result, Variant(expected)) << c.name;
    }
  }
  ScopedTempDir dir;
  const std::string body = MultipartBody().File("f", "n.txt", "x").Build();
  for (int i = 0; i <= 9; ++i) Save(body, "f", dir.Path(), Variant("makeunique"));
  EXPECT_EQ(Save(body, "f", dir.Path(), Variant("makeunique")).result, Variant("n(10).txt"));
}

// Every makeunique number taken ends in the overflow fault: with one
// directory of 32,768 files, in tests/hardening/hostile_body_test.cc
// (ManyFilesTest), through both the typed API and ZmFile.

TEST(FileSaveTest, HostileNamesStayInsideTheDirectory) {
  for (const char* name : {"../../etc/x", "/etc/passwd", "..\\..\\outside.txt", "sub/../../../outside.txt",
                           "C:\\..\\..\\outside.txt", "./../outside.txt"}) {
    ScopedTempDir parent;
    std::filesystem::create_directory(parent.path() / "up");
    const std::string body = MultipartBody().File("f", name, "payload").Build();
    const SaveResult r = Save(body, "f", parent.Path("up"), Variant("overwrite"));
    ASSERT_EQ(r.error_code, Variant(std::int16_t{0})) << name;
    const std::string stored = r.result.ToText();
    EXPECT_EQ(stored.find('/'), std::string::npos) << name;
    EXPECT_EQ(ReadFile(parent.path() / "up" / stored), "payload") << name;
    EXPECT_EQ(parent.Entries(), (std::set<std::string>{"up"})) << name;
  }
}

TEST(FileSaveTest, LinksPlantedAtTheNameAreNeverFollowed) {
  ScopedTempDir dir;
  std::filesystem::create_directory(dir.path() / "up");
  WriteFile(dir.path() / "target", "precious");
  std::filesystem::create_symlink(dir.path() / "target", dir.path() / "up" / "a.txt");
  std::filesystem::create_symlink(dir.path() / "missing", dir.path() / "up" / "b.txt");
  const std::string body_a = MultipartBody().File("f", "a.txt", "upload").Build();
  const std::string body_b = MultipartBody().File("f", "b.txt", "upload").Build();

  EXPECT_EQ(Save(body_a, "f", dir.Path("up")).error_code, Variant(std::int16_t{106}));
  EXPECT_EQ(Save(body_b, "f", dir.Path("up")).error_code, Variant(std::int16_t{106}));  // dangling counts
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
  EXPECT_EQ(Save(body_b, "f", dir.Path("up"), Variant("makeunique")).result, Variant("b(1).txt"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));

  // "overwrite" replaces the link itself; the file it pointed to is untouched.
  EXPECT_EQ(Save(body_a, "f", dir.Path("up"), Variant("overwrite")).result, Variant("a.txt"));
  EXPECT_FALSE(std::filesystem::is_symlink(dir.path() / "up" / "a.txt"));
  EXPECT_EQ(ReadFile(dir.path() / "up" / "a.txt"), "upload");
  EXPECT_EQ(ReadFile(dir.path() / "target"), "precious");
}

TEST(FileSaveTest, OverwriteKeepsTheOldFileWhenTheSaveFails) {
  ScopedTempDir dir;
  WriteFile(dir.path() / "a.txt", "old");
  // The data cannot be found: the old file must survive.
  const std::string no_data = "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n";
  const SaveResult r = Save(no_data, "f", dir.Path(), Variant("overwrite"));
  EXPECT_EQ(r.error_code, Variant(std::int16_t{105}));
  EXPECT_EQ(ReadFile(dir.path() / "a.txt"), "old");
  EXPECT_EQ(dir.Entries(), (std::set<std::string>{"a.txt"}));
}

TEST(FileSaveTest, FailedReplaceIsReportedAs32BitAndLeavesNothing) {
  ScopedTempDir dir;
  std::filesystem::create_directories(dir.path() / "a.txt" / "inside");  // a non-empty directory
  const std::string body = MultipartBody().File("f", "a.txt", "new").Build();
  const SaveResult r = Save(body, "f", dir.Path(), Variant("overwrite"));
  EXPECT_EQ(r.error_code.Type(), VariantType::kInt32);
  EXPECT_EQ(r.error_code, Variant(std::int32_t{75}));
  EXPECT_EQ(r.result, Variant("Path/File access error"));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "a.txt" / "inside"));
  EXPECT_EQ(dir.Entries(), (std::set<std::string>{"a.txt"}));  // no temporary file left
}

TEST(FileSaveTest, MissingDirectoryIsPathNotFound) {
  ScopedTempDir dir;
  const std::string body = MultipartBody().File("f", "a.txt", "x").Build();
  for (const char* policy : {"error", "overwrite", "makeunique"}) {
    const SaveResult r = Save(body, "f", dir.Path("absent"), Variant(policy));
    EXPECT_EQ(r.error_code.Type(), VariantType::kInt16) << policy;
    EXPECT_EQ(r.error_code, Variant(std::int16_t{76})) << policy;
    EXPECT_EQ(r.result, Variant("Path not found")) << policy;
  }
  EXPECT_TRUE(dir.Entries().empty());
}

TEST(FileSaveTest, NamesAndDirectoriesTheFileSystemCannotTake) {
  ScopedTempDir dir;
  const std::string long_name = std::string(300, 'n') + ".txt";
  const struct {
    const char* label;
    std::string file_name;
    std::string directory;
  } kCases[] = {
      {"name over 255 bytes", long_name, dir.Path()},
      {"name of 256 bytes", std::string(256, 'n'), dir.Path()},
      {"NUL inside the directory", "a.txt", dir.Path() + std::string("\0/../escape", 11)},
  };
  for (const auto& c : kCases) {
    for (const char* policy : {"error", "overwrite", "makeunique"}) {
      const SaveResult r = Save(MultipartBody().File("f", c.file_name, "x").Build(), "f", c.directory, Variant(policy));
      EXPECT_EQ(r.error_code, Variant(std::int16_t{75})) << c.label << " " << policy;
      EXPECT_EQ(r.result, Variant("Path/File access error")) << c.label << " " << policy;
    }
  }
  EXPECT_TRUE(dir.Entries().empty());

  // The data is located before the name is judged: without a blank line
  // after the header the answer is 105, whatever the name's length.
  const std::string no_data = "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"" + long_name + "\"\r\n";
  for (const char* policy : {"error", "overwrite", "makeunique"}) {
    EXPECT_EQ(Save(no_data, "f", dir.Path(), Variant(policy)).error_code, Variant(std::int16_t{105})) << policy;
  }

  ScopedTempDir fits;
  const std::string longest(255, 'n');
  const SaveResult r = Save(MultipartBody().File("f", longest, "x").Build(), "f", fits.Path(), Variant("error"));
  EXPECT_EQ(r.error_code, Variant(std::int16_t{0}));
  EXPECT_EQ(r.result, Variant(longest));
}

TEST(FileSaveTest, OptionalArgumentsChangeNothing) {
  const std::string body = MultipartBody().File("f", "a.txt", "data", "image/png").Build();
  const Variant values[] = {Variant::Missing(), Variant::Null(), Variant("text/plain"), Variant(std::int32_t{0}),
                            Variant(std::int16_t{-1})};
  for (const Variant& value : values) {
    ScopedTempDir dir;
    ZmFile file;
    Variant form_data = Variant::FromBytes(std::vector<std::uint8_t>(body.begin(), body.end()));
    Variant code;
    const Variant result =
        file.ZmFileSave(form_data, Variant("f"), Variant(dir.Path()), code, Variant::Missing(), value, value, value);
    EXPECT_EQ(result, Variant("a.txt"));
    EXPECT_EQ(code, Variant(std::int16_t{0}));
    EXPECT_EQ(ReadFile(dir.path() / "a.txt"), "data");
  }
}

TEST(FileSaveTest, FaultsAndTheErrorCodeTheyLeave) {
  ScopedTempDir dir;
  const std::string body = MultipartBody().File("f", "a.txt", "x").Field("plain", "v").Build();
  ZmFile file;
  Variant form_data = Variant::FromBytes(std::vector<std::uint8_t>(body.begin(), body.end()));
  Variant not_bytes("text");
  const struct {
    const char* label;
    Variant* data;
    Variant field;
    Variant directory;
    Variant conflict;
    int fault;
    Variant code_after;  // caller's 42 before the search starts, 0 after
  } kCases[] = {
      {"body not a byte array", &not_bytes, Variant("f"), Variant(dir.Path()), Variant::Missing(), 13,
       Variant(std::int16_t{42})},
      {"null name before a body that is not bytes", &not_bytes, Variant::Null(), Variant(dir.Path()),
       Variant::Missing(), 94, Variant(std::int16_t{42})},
      {"null field name", &form_data, Variant::Null(), Variant(dir.Path()), Variant::Missing(), 94,
       Variant(std::int16_t{42})},
      {"null policy", &form_data, Variant("f"), Variant(dir.Path()), Variant::Null(), 94, Variant(std::int16_t{42})},
      {"null directory", &form_data, Variant("f"), Variant::Null(), Variant::Missing(), 94, Variant(std::int16_t{0})},
  };
  for (const auto& c : kCases) {
    Variant code(std::int16_t{42});
    try {
      file.ZmFileSave(*c.data, c.field, c.directory, code, c.conflict);
      ADD_FAILURE() << c.label << ": no fault";
    } catch (const AutomationError& fault) {
      EXPECT_EQ(fault.Number(), c.fault) << c.label;
    }
    EXPECT_EQ(code, c.code_after) << c.label;
  }
  // The directory is only needed once a file name has been read: a plain
  // field ends with 103 before the null directory is touched.
  Variant code;
  EXPECT_EQ(file.ZmFileSave(form_data, Variant("plain"), Variant::Null(), code), Variant(ResultMessage(
      ResultCode::kFilenameNotFound, Operation::kFileSave)));
  EXPECT_TRUE(dir.Entries().empty());
}

TEST(FileSaveTest, BodyIsUnchangedAndCallsAreIndependent) {
  ScopedTempDir dir;
  const std::string body = MultipartBody().File("f", "a.txt", "data").Build();
  const std::vector<std::uint8_t> original(body.begin(), body.end());
  Variant form_data = Variant::FromBytes(original);
  ZmFile file;
  Variant code;
  EXPECT_EQ(file.ZmFileSave(form_data, Variant("f"), Variant(dir.Path()), code, Variant("makeunique")),
            Variant("a.txt"));
  EXPECT_EQ(file.ZmFileSave(form_data, Variant("f"), Variant(dir.Path()), code, Variant("makeunique")),
            Variant("a(1).txt"));
  EXPECT_EQ(form_data, Variant::FromBytes(original));
}

TEST(FileSaveTest, OneVariableAsBodyAndErrorCode) {
  ScopedTempDir dir;
  const std::string body = MultipartBody().File("f", "a.txt", "data").Build();
  Variant shared = Variant::FromBytes(std::vector<std::uint8_t>(body.begin(), body.end()));
  ZmFile file;
  DispatchArgument arguments[] = {DispatchArgument::ByRef(shared), DispatchArgument::ByValue(Variant("f")),
                                  DispatchArgument::ByValue(Variant(dir.Path())), DispatchArgument::ByRef(shared)};
  EXPECT_EQ(file.Invoke(kDispIdZmFileSave, arguments), Variant("a.txt"));
  EXPECT_EQ(shared, Variant(std::int16_t{0}));
  EXPECT_EQ(ReadFile(dir.path() / "a.txt"), "data");
}

// The typed API reports what the adapter cannot: the stored name apart from
// the text, whether a file was replaced, and the errno behind a platform code.
TEST(FileSaveTest, TypedApiReportsStoredNameReplacementAndErrno) {
  ScopedTempDir dir;
  const std::string body = MultipartBody().File("f", "C:\\x\\a.txt", "data").Build();
  const struct {
    ConflictPolicy policy;
    std::int32_t code;
    std::string stored_name;
    bool replaced;
  } kSteps[] = {
      {ConflictPolicy::kError, 0, "a.txt", false},
      {ConflictPolicy::kError, 106, "", false},
      {ConflictPolicy::kMakeUnique, 0, "a(1).txt", false},
      {ConflictPolicy::kOverwrite, 0, "a.txt", true},
  };
  for (const auto& step : kSteps) {
    const OperationResult result = FileSave(testing::AsBytes(body), "f", dir.Path(), step.policy);
    EXPECT_EQ(result.code, step.code) << ConflictPolicyName(step.policy);
    EXPECT_EQ(result.stored_name, step.stored_name);
    EXPECT_EQ(result.replaced, step.replaced);
    EXPECT_EQ(result.text, step.code == 0 ? step.stored_name : "Error: File Already Exists.");
  }
  const OperationResult overwrite_fresh = FileSave(testing::AsBytes(body), "f", dir.Path("fresh"),
                                                   ConflictPolicy::kOverwrite);
  EXPECT_EQ(overwrite_fresh.code, 76);  // no such directory
  EXPECT_EQ(overwrite_fresh.platform_errno, ENOENT);
  std::filesystem::create_directory(dir.path() / "fresh");
  EXPECT_FALSE(FileSave(testing::AsBytes(body), "f", dir.Path("fresh"), ConflictPolicy::kOverwrite).replaced);
  EXPECT_EQ(ReadFile(dir.path() / "fresh" / "a.txt"), "data");
}

}  // namespace
}  // namespace zimrax
