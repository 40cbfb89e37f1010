// Several files in one upload, the plain-language messages, hidden names,
// the paged listing and its links: the parts on their own, then a real
// server process on a loopback port.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "server/answers.h"
#include "server/api_messages.h"
#include "server/file_listing.h"
#include "server/listing_query.h"
#include "server/result_messages.h"
#include "server/upload_report.h"
#include "server/upload_stream.h"
#include "server_process.h"

namespace zimrax::zmfile {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using testing::FormPart;
using testing::HttpAnswer;

constexpr const char* kBoundary = "formsBoundary4Qx9";

// prefix, number, suffix (built with append: g++ 12 warns wrongly on
// "literal" + std::string chains under -O2).
std::string NumberedName(const char* prefix, int number, const char* suffix) {
  return std::string(prefix).append(std::to_string(number)).append(suffix);
}

FileReport Coded(std::int32_t code, const std::string& result, const std::string& client_name = "report.txt") {
  FileReport file;
  file.field = "upload2";
  file.client_name = client_name;
  file.outcome = OperationResult{};
  file.outcome->code = code;
  file.outcome->width = code == 70 ? ErrorCodeWidth::kInt32 : ErrorCodeWidth::kInt16;
  file.outcome->text = result;
  return file;
}

// The text of the first <p class="message"> in `html`.
std::string HtmlMessage(const std::string& html) {
  const std::string open = "<p class=\"message\">";
  const std::size_t at = html.find(open);
  if (at == std::string::npos) return "<none>";
  const std::size_t from = at + open.size();
  return html.substr(from, html.find("</p>", from) - from);
}

// Every outcome has one sentence that says what happened and what to do,
// and the JSON answer and the no-script page say the same.
TEST(ResultMessagesTest, EveryOutcomeHasASentenceShownAlikeInJsonAndHtml) {
  FileReport replaced = Coded(0, "report.txt");
  replaced.outcome->replaced = true;
  FileReport empty = Coded(0, "empty.txt", "empty.txt");
  empty.empty = true;
  FileReport fault_9;
  fault_9.field = "upload2";
  fault_9.outcome = OperationResult{};
  fault_9.outcome->fault = RuntimeError::kSubscriptOutOfRange;
  FileReport fault_6 = fault_9;
  fault_6.outcome->fault = RuntimeError::kOverflow;
  FileReport hidden;
  hidden.field = "upload2";
  hidden.client_name = ".env";
  hidden.refusal = HiddenNameRefusal();
  struct Case {
    std::string label;
    FileReport file;
    std::string expected;  // a part the sentence must hold
  };
  const std::vector<Case> cases = {
      {"stored", Coded(0, "report.txt"), "Stored as report.txt."},
      {"replaced", replaced, "Stored as report.txt, replacing the file that was there."},
      {"renamed", Coded(0, "report(1).txt"), "Stored as report(1).txt, because a file named report.txt was"},
      {"empty", empty, "Stored as empty.txt; the file is empty (0 bytes)."},
      {"101", Coded(101, "Error: Form Field Name not found."), "no file field named upload2"},
      {"102", Coded(102, "Error: Can not locate 'Content-Disposition' text."), "curl -F upload2=@FILE"},
      {"103", Coded(103, "Error: Can not locate filename in form field."), "The field upload2 holds no file"},
      {"104", Coded(104, "Error: Bad Form Filename."), "cannot use the name report.txt"},
      {"104 no name", Coded(104, "Error: Bad Form Filename.", ""), "sent without a name"},
      {"105", Coded(105, "Error: Form Data not found."), "contents of report.txt did not arrive"},
      {"106", Coded(106, "Error: File Already Exists."), "A file named report.txt is already there."},
      {"53", Coded(53, "File not found"), "lost track"},
      {"57", Coded(57, "Device I/O error"), "disk reported"},
      {"61", Coded(61, "Disk full"), "no space left"},
      {"67", Coded(67, "Too many files"), "too many files open"},
      {"70", Coded(70, "Permission denied"), "not allowed to write"},
      {"75", Coded(75, "Path/File access error"), "could not create a file named report.txt"},
      {"76", Coded(76, "Path not found"), "upload folder is missing"},
      {"another platform code", Coded(62, "Input past end of file"), "error 62"},
      {"fault 9", fault_9, "looks cut off"},
      {"fault 6", fault_6, "too large"},
      {"hidden", hidden, ".env starts with a dot, and hidden names are not accepted."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    UploadReport report;
    report.client_choices = {"error", "makeunique"};
    report.files = {c.file};
    static_cast<FileReport&>(report) = c.file;
    const std::string message = PlainMessage(c.file, report);
    EXPECT_NE(message.find(c.expected), std::string::npos) << message;
    EXPECT_EQ(message.back(), '.') << message;
    EXPECT_EQ(message.find("Error:"), std::string::npos) << "not the component's fixed text: " << message;
    // The JSON answer's sentence is the API's: the same outcome, no words
    // of the page's controls.
    const std::string api = ApiMessage(c.file, report);
    EXPECT_EQ(api.back(), '.') << api;
    EXPECT_EQ(api.find("Error:"), std::string::npos) << api;
    EXPECT_EQ(api.find("Choose"), std::string::npos) << api;
    EXPECT_EQ(api.find("Pick"), std::string::npos) << api;
    const Json json = Json::parse(UploadJson(report));
    EXPECT_EQ(json["Message"], api);
    ASSERT_EQ(json["Files"].size(), 1u);
    EXPECT_EQ(json["Files"][0]["Field"], "upload2");
    EXPECT_EQ(json["Files"][0]["Message"], api);
    EXPECT_EQ(HtmlMessage(UploadHtml(report, Listing{})), HtmlEscape(message));
  }
}

// A refusal is told by its kind: a request refusal worded like the
// hidden-name one stays as written, and only the typed one gets the advice.
TEST(ResultMessagesTest, ARefusalIsToldByItsKindNotByItsWording) {
  FileReport worded;
  worded.field = "upload2";
  worded.client_name = ".env";
  worded.refusal = Refusal{400, kHiddenNameRefusal};
  const UploadReport report;
  EXPECT_EQ(PlainMessage(worded, report), kHiddenNameRefusal);
  FileReport typed = worded;
  typed.refusal = HiddenNameRefusal();
  EXPECT_NE(PlainMessage(typed, report).find(".env starts with a dot"), std::string::npos);
}

// After a 106 the advice offers only what the server lets a client choose:
// buttons on the page, conflict= values to an API caller.
TEST(ResultMessagesTest, TakenNameOffersOnlyTheAllowedChoices) {
  const FileReport taken = Coded(106, "Error: File Already Exists.");
  struct Case {
    std::vector<std::string> choices;
    std::string page;
    std::string api;
  };
  const std::string api = "A file named report.txt is already there (ErrorCode 106).";
  const std::vector<Case> cases = {
      {{"error"}, "A file named report.txt is already there. Rename your file and upload it again.",
       api + " Send the file under another name."},
      {{"error", "makeunique"}, "A file named report.txt is already there. Choose Keep both to store yours beside it.",
       api + " Send conflict=makeunique to store yours under a numbered name."},
      {{"error", "overwrite"}, "A file named report.txt is already there. Choose Replace to overwrite it.",
       api + " Send conflict=overwrite to replace it."},
      {{"error", "makeunique", "overwrite"},
       "A file named report.txt is already there. Choose Keep both to store yours beside it, or Replace to "
       "overwrite it.",
       api + " Send conflict=makeunique to store yours under a numbered name, or conflict=overwrite to replace it."},
  };
  for (const Case& c : cases) {
    UploadReport report;
    report.client_choices = c.choices;
    EXPECT_EQ(PlainMessage(taken, report), c.page);
    EXPECT_EQ(ApiMessage(taken, report), c.api);
  }
}

// A name at the length limit, already taken, through a real stream: under
// "makeunique" no numbered form of it fits (75), and the advice offers
// Replace where allowed, never Keep both. The rows around it keep their own
// outcomes: a shorter name is numbered, "error" gives 106, and a name too
// long to store at all keeps the plain 75 sentence.
TEST(ResultMessagesTest, NameTooLongToNumberOffersNoKeepBoth) {
  const std::string at_limit = std::string(251, 'n') + ".txt";           // 255 bytes
  const std::string numbered_too_long = std::string(249, 'n') + ".txt";  // 253: "(1)" makes 256
  const std::string room_to_number = std::string(248, 'n') + ".txt";     // 252: "(1)" makes 255
  const std::string over_limit = std::string(296, 'n') + ".txt";
  const std::string too_long_to_number =
      " is already there, and the name is too long to number: a numbered name would pass the 255-byte limit. "
      "Rename your file to a shorter name and upload it again";
  struct Case {
    std::string label, name, conflict;
    std::vector<std::string> choices;
    int code;
    std::string expected;  // the whole sentence
  };
  const std::vector<Case> cases = {
      {"at the limit", at_limit, "makeunique", {"error", "makeunique"}, 75,
       "A file named " + at_limit + too_long_to_number + "."},
      {"at the limit, Replace allowed", at_limit, "makeunique", {"error", "makeunique", "overwrite"}, 75,
       "A file named " + at_limit + too_long_to_number + ", or choose Replace to overwrite the file there."},
      {"numbered past the limit", numbered_too_long, "makeunique", {"error", "makeunique"}, 75,
       "A file named " + numbered_too_long + too_long_to_number + "."},
      {"room to number", room_to_number, "makeunique", {"error", "makeunique"}, 0,
       "Stored as " + room_to_number.substr(0, 248) + "(1).txt, because a file named " + room_to_number +
           " was already there."},
      {"under error", at_limit, "error", {"error", "makeunique"}, 106,
       "A file named " + at_limit + " is already there. Choose Keep both to store yours beside it."},
      {"too long to store at all", over_limit, "makeunique", {"error", "makeunique"}, 75,
       "The server could not create a file named " + over_limit + ". Try a shorter or simpler name."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::TempDir dir;
    if (c.name.size() <= 255) testing::WriteFileBytes(dir.path() / c.name, "already here");
    UploadLimits limits;
    limits.client_conflicts = c.choices;
    UploadStream upload(dir.path().string(), "error", limits);
    const std::string body =
        testing::MultipartBody(kBoundary, {{"conflict", c.conflict, false, ""}, {"upload1", "mine", true, c.name}});
    upload.Feed(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
    const UploadReport report = upload.Finish();
    ASSERT_EQ(report.files.size(), 1u) << UploadJson(report);
    ASSERT_TRUE(report.files[0].outcome.has_value()) << UploadJson(report);
    EXPECT_EQ(report.files[0].outcome->code, c.code) << UploadJson(report);
    EXPECT_EQ(PlainMessage(report.files[0], report), c.expected);
    // The JSON speaks to API callers: conflict= values, never the page's buttons.
    const std::string api = Json::parse(UploadJson(report))["Message"];
    EXPECT_EQ(api, ApiMessage(report.files[0], report));
    EXPECT_EQ(api.find("Keep both"), std::string::npos) << api;
    if (c.name.size() <= 255) {
      EXPECT_EQ(testing::ReadFileBytes(dir.path() / c.name), "already here");
    }
  }
}

TEST(ListingQueryTest, ReadsLimitAndCursorAndRefusesAnythingElse) {
  const ListingCursor cursor{1714566896123456789, "caf\xc3\xa9 \xff&x=1.txt"};
  const std::string encoded = EncodeCursor(cursor);
  EXPECT_EQ(encoded.find_first_not_of("0123456789abcdef"), std::string::npos) << "safe in a URL as it is";
  const std::optional<ListingCursor> decoded = DecodeCursor(encoded);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->modified_ns, cursor.modified_ns);
  EXPECT_EQ(decoded->name, cursor.name);
  EXPECT_EQ(DecodeCursor(EncodeCursor({-5, "a"}))->modified_ns, -5);

  struct Case {
    std::string target;
    bool good;
    std::size_t limit;
  };
  const std::vector<Case> cases = {
      {"/files", true, kDefaultListLimit},
      {"/files?", true, kDefaultListLimit},
      {"/files?limit=1", true, 1},
      {"/files?limit=1000", true, 1000},
      {"/files?other=x&limit=7", true, 7},
      {"/files?cursor=" + encoded + "&limit=3", true, 3},
      {"/files?limit=0", false, 0},
      {"/files?limit=1001", false, 0},
      {"/files?limit=-1", false, 0},
      {"/files?limit=+5", false, 0},
      {"/files?limit=5x", false, 0},
      {"/files?limit=", false, 0},
      {"/files?limit=99999999999999999999999", false, 0},
      {"/files?cursor=", false, 0},
      {"/files?cursor=" + encoded.substr(0, 16), false, 0},              // a time without a name
      {"/files?cursor=" + encoded + "0", false, 0},                      // odd length
      {"/files?cursor=" + encoded.substr(0, 20) + "zz", false, 0},       // not hexadecimal
      {"/files?cursor=0000000000000000" + std::string("2f"), false, 0},  // "/" is no stored name
      {"/files?cursor=0000000000000000" + std::string(600, 'a'), false, 0},
  };
  for (const Case& c : cases) {
    const ListingQuery query = ParseListingQuery(c.target);
    EXPECT_EQ(query.error.empty(), c.good) << c.target << ": " << query.error;
    if (c.good) {
      EXPECT_EQ(query.limit, c.limit) << c.target;
    }
  }
}

void SetTime(const fs::path& path, std::int64_t ns) {
  const struct timespec times[2] = {{ns / 1000000000, ns % 1000000000}, {ns / 1000000000, ns % 1000000000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

struct ModelFile {
  std::int64_t ns;
  std::string name;
  bool operator<(const ModelFile& other) const { return ListedBefore(ns, name, other.ns, other.name); }
};

// Paging through the listing with any page size gives exactly the plain
// sorted list; files added between pages appear exactly when they sort
// after the place reached, and nothing repeats.
TEST(ListingPagingTest, PagesConcatenateToTheSortedListEvenWhileFilesArrive) {
  const std::int64_t base = 1700000000LL * 1000000000;
  for (const std::size_t limit : {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{50}, std::size_t{200}}) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    testing::TempDir dir;
    std::set<ModelFile> model;
    auto add = [&](const std::string& name, std::int64_t ns) {
      testing::WriteFileBytes(dir.path() / name, name);
      SetTime(dir.path() / name, ns);
      model.insert({ns, name});
    };
    // Ties on purpose: groups of files changed at the same nanosecond.
    for (int i = 0; i < 60; ++i) add(NumberedName("f", i * 7 % 60, ".txt"), base + (i / 4) * 1000 + (i % 2));
    add("\xff\xfe.bin", base + 3000);
    add("hidden-not", base + 3000);
    testing::WriteFileBytes(dir.path() / ".zmfile-temporary", "x");  // never listed

    std::vector<ModelFile> seen;
    std::optional<ListingCursor> cursor;
    std::set<ModelFile> expected(model);
    for (int page = 0; page < 1000; ++page) {
      const Listing listing = ListStoredFiles(dir.path().string(), limit, cursor);
      EXPECT_LE(listing.files.size(), limit);
      for (const StoredFile& file : listing.files) seen.push_back({file.modified_ns, file.name});
      if (!listing.next) break;
      EXPECT_EQ(listing.files.size(), limit) << "only a full page has a next one";
      // The cursor goes out as text and comes back.
      cursor = DecodeCursor(EncodeCursor(*listing.next));
      ASSERT_TRUE(cursor);
      // Between the first pages: one file newer than all (already passed:
      // not listed) and one older than all (still ahead: listed).
      if (page >= 5) continue;
      const std::string tag = std::to_string(page);
      add("new" + tag, base + 1000000 + page);
      add("old" + tag, base - 1000000 - page);
      expected.insert({base - 1000000 - page, "old" + tag});
    }
    const std::vector<ModelFile> reference(expected.begin(), expected.end());
    ASSERT_EQ(seen.size(), reference.size());
    for (std::size_t i = 0; i < seen.size(); ++i) {
      EXPECT_EQ(seen[i].name, reference[i].name) << "at " << i;
      EXPECT_EQ(seen[i].ns, reference[i].ns) << "at " << i;
    }
  }
}

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// 100 file fields in one body: each holds its temporary file until Finish
// (one descriptor each, beside one of the directory that all share), no
// more, and all are stored byte for byte in field order.
TEST(UploadStreamFilesTest, HundredFieldsHoldOneTemporaryFileEachAndAllAreStored) {
  testing::TempDir dir;
  std::vector<FormPart> parts;
  for (int i = 1; i <= kMaxFileFields; ++i) {
    parts.push_back(
        {"upload" + std::to_string(i), testing::RandomBytes(1000 + i, i), true, NumberedName("f", i, ".bin")});
  }
  parts.push_back({"upload101", "not stored", true, "f101.bin"});
  const std::string body = testing::MultipartBody(kBoundary, parts);
  const int before = OpenDescriptors();
  UploadLimits limits;
  UploadStream upload(dir.path().string(), "error", limits);
  const std::size_t cut = body.size() - 30;
  upload.Feed(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(body.data()), cut));
  const int in_flight = OpenDescriptors() - before;
  EXPECT_GE(in_flight, kMaxFileFields - 1 + 1);
  EXPECT_LE(in_flight, kMaxFileFields + 1) << "one temporary file per file field and one directory, no more";
  upload.Feed(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(body.data()) + cut, body.size() - cut));
  const UploadReport report = upload.Finish();
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_EQ(HttpStatusOf(report), 200) << UploadJson(report);
  ASSERT_EQ(report.files.size(), std::size_t(kMaxFileFields));
  for (int i = 1; i <= kMaxFileFields; ++i) {
    EXPECT_EQ(report.files[i - 1].field, "upload" + std::to_string(i));
    EXPECT_TRUE(testing::ReadFileBytes(dir.path() / NumberedName("f", i, ".bin")) == parts[i - 1].data) << i;
  }
  EXPECT_FALSE(fs::exists(dir.path() / "f101.bin"));
}

// A body cut short stores none of its files, and each entry says why; a
// file refused for its own name keeps that reason.
TEST(UploadStreamFilesTest, IncompleteFormStoresNoneAndEachEntrySaysWhy) {
  testing::TempDir dir;
  const std::string body = testing::MultipartBody(
      kBoundary, {{"upload1", "one", true, "one.txt"}, {"upload2", "two", true, ".two"}, {"upload3", "3", true, "3"}});
  UploadStream upload(dir.path().string(), "makeunique", UploadLimits{});
  upload.Feed(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(body.data()), body.size() - 10));
  const UploadReport report = upload.Finish();
  EXPECT_EQ(HttpStatusOf(report), 400);
  ASSERT_EQ(report.files.size(), 3u) << UploadJson(report);
  EXPECT_NE(report.files[0].refusal->message.find("incomplete"), std::string::npos);
  EXPECT_EQ(report.files[1].refusal->message, kHiddenNameRefusal);
  EXPECT_NE(report.files[2].refusal->message.find("incomplete"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

class ServeFormsTest : public ::testing::Test {
 protected:
  ServeFormsTest() : uploads_(root_.path() / "uploads"), server_(uploads_, {}, root_.path() / "server.log") {}

  void SetUp() override { ASSERT_TRUE(server_.ok()) << server_.Log(); }
  void TearDown() override { EXPECT_EQ(server_.Interrupt(), 0) << server_.Log(); }

  HttpAnswer Upload(const std::vector<FormPart>& parts, bool json = true) {
    const std::string request = testing::UploadRequest(server_.port(), kBoundary, testing::MultipartBody(kBoundary, parts), json);
    return testing::ParseHttpAnswer(testing::RawExchange(server_.port(), request));
  }

  HttpAnswer Get(const std::string& target) {
    return testing::ParseHttpAnswer(testing::RawExchange(
        server_.port(), "GET " + target + " HTTP/1.1\r\n" + testing::HostLine(server_.port()) + "Connection: close\r\n\r\n"));
  }

  static Json JsonOf(const HttpAnswer& answer) { return Json::parse(answer.body, nullptr, false); }

  std::set<std::string> StoredNames() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(uploads_)) names.insert(entry.path().filename().string());
    return names;
  }

  testing::TempDir root_;
  fs::path uploads_;
  testing::ServerProcess server_;
};

// Three files, the middle one's name taken under "error": the request is
// answered with that first failure (409), its entry says why, and the
// files around it are stored byte for byte.
TEST_F(ServeFormsTest, SeveralFilesOneRefusedTheOthersStored) {
  testing::WriteFileBytes(uploads_ / "taken.txt", "already here");
  const std::string first = testing::RandomBytes(300000, 1);
  const std::string last = testing::RandomBytes(5000, 3);
  const HttpAnswer answer = Upload({{"conflict", "error", false, ""},
                                    {"upload1", first, true, "first.bin"},
                                    {"upload2", "mine", true, "taken.txt"},
                                    {"upload3", last, true, "last.bin"},
                                    {"comment", "three", false, ""}});
  EXPECT_EQ(answer.status, 409) << answer.body;
  const Json json = JsonOf(answer);
  EXPECT_EQ(json["ErrorCode"], 0) << "the top level tells upload1";
  EXPECT_EQ(json["Result"], "first.bin");
  EXPECT_EQ(json["Comment"], "three");
  ASSERT_EQ(json["Files"].size(), 3u) << answer.body;
  const std::vector<std::pair<std::string, int>> entries = {{"upload1", 0}, {"upload2", 106}, {"upload3", 0}};
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(json["Files"][i]["Field"], entries[i].first);
    EXPECT_EQ(json["Files"][i]["ErrorCode"], entries[i].second);
    EXPECT_FALSE(json["Files"][i]["Message"].get<std::string>().empty());
  }
  EXPECT_EQ(json["Files"][1]["Message"],
            "A file named taken.txt is already there (ErrorCode 106). Send conflict=makeunique to store yours under a "
            "numbered name.");
  EXPECT_TRUE(testing::ReadFileBytes(uploads_ / "first.bin") == first);
  EXPECT_TRUE(testing::ReadFileBytes(uploads_ / "last.bin") == last);
  EXPECT_EQ(testing::ReadFileBytes(uploads_ / "taken.txt"), "already here");
  EXPECT_EQ(StoredNames(), (std::set<std::string>{"first.bin", "taken.txt", "last.bin"}));
  EXPECT_NE(server_.Log().find("stored=\"first.bin/last.bin\""), std::string::npos) << server_.Log();
}

// A form without upload1 is told which field was expected and which it sent.
TEST_F(ServeFormsTest, MissingFileFieldNamesTheFieldExpectedAndThoseFound) {
  const HttpAnswer answer = Upload({{"file", "x", true, "x.txt"}, {"comment", "c", false, ""}});
  EXPECT_EQ(answer.status, 400);
  const Json json = JsonOf(answer);
  EXPECT_EQ(json["ErrorCode"], 102);
  const std::string message = json["Message"];
  EXPECT_NE(message.find("no file field named upload1"), std::string::npos) << message;
  EXPECT_NE(message.find("\"file\", \"comment\""), std::string::npos) << message;
  EXPECT_TRUE(json["Files"].empty());

  const HttpAnswer page = Upload({{"<b>file</b>", "x", true, "x.txt"}}, false);
  EXPECT_EQ(page.status, 400);
  EXPECT_NE(page.body.find("upload1"), std::string::npos);
  EXPECT_NE(page.body.find("&quot;&lt;b&gt;file&lt;/b&gt;&quot;"), std::string::npos) << page.body;
  EXPECT_EQ(page.body.find("<b>file"), std::string::npos);

  // Many long field names: a few are named, each cut short.
  std::vector<FormPart> many;
  for (int i = 0; i < 300; ++i) many.push_back({std::string(500, 'n') + std::to_string(i), "v", false, ""});
  const std::string hint = JsonOf(Upload(many))["Message"];
  EXPECT_LT(hint.size(), 800u) << hint;
  EXPECT_NE(hint.find("and more"), std::string::npos) << hint;
  EXPECT_TRUE(StoredNames().empty());
}

TEST_F(ServeFormsTest, HiddenNamesAreRefusedAndNothingIsStored) {
  for (const std::string name : {".env", ".htaccess", "C:\\Users\\me\\.ssh_key"}) {
    const HttpAnswer answer = Upload({{"upload1", "secret", true, name}});
    EXPECT_EQ(answer.status, 400) << name;
    const Json json = JsonOf(answer);
    EXPECT_EQ(json["Refused"], "hidden names are not accepted") << name;
    EXPECT_NE(json["Message"].get<std::string>().find("hidden names are not accepted"), std::string::npos);
  }
  EXPECT_TRUE(StoredNames().empty());
  EXPECT_NE(server_.Log().find("upload1 refused with 400: hidden names are not accepted"), std::string::npos);
}

// Names that are not UTF-8: the listing shows them with U+FFFD and utf8
// false, and each href downloads exactly its own raw bytes, even where two
// names display alike.
TEST_F(ServeFormsTest, NonUtf8NamesKeepDistinctHrefsThatDownloadTheExactBytes) {
  const std::map<std::string, std::string> files = {
      {"\xff\xfe.txt", "first"}, {"\xfe\xff.txt", "second"}, {"plain ok.txt", "third"}};
  for (const auto& [name, data] : files) {
    ASSERT_EQ(Upload({{"upload1", data, true, name}}).status, 200);
  }
  const Json listing = JsonOf(Get("/files"));
  ASSERT_EQ(listing["files"].size(), files.size()) << listing.dump();
  EXPECT_TRUE(listing["next"].is_null());
  std::set<std::string> hrefs;
  for (const Json& entry : listing["files"]) {
    const std::string href = entry["href"];
    hrefs.insert(href);
    ASSERT_EQ(href.rfind("files/", 0), 0u) << href;
    const bool plain = entry["name"] == "plain ok.txt";
    EXPECT_EQ(entry["utf8"], plain);
    if (!plain) {
      EXPECT_EQ(entry["name"], "\xef\xbf\xbd\xef\xbf\xbd.txt");
    }
    const HttpAnswer download = Get("/" + href);
    EXPECT_EQ(download.status, 200) << href;
    // The raw name behind the href, from the encoding alone.
    std::string raw;
    for (std::size_t i = 6; i < href.size(); ++i) {
      if (href[i] == '%') {
        raw += static_cast<char>(std::stoi(href.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        raw += href[i];
      }
    }
    ASSERT_EQ(files.count(raw), 1u) << href;
    EXPECT_EQ(download.body, files.at(raw)) << href;
  }
  EXPECT_EQ(hrefs.size(), files.size());
}

// The no-script answer links beside itself, so that it works under a sub-path.
TEST_F(ServeFormsTest, NoScriptAnswerLinksAreRelative) {
  const HttpAnswer page = Upload({{"upload1", "x", true, "a b.txt"}, {"upload2", "y", true, ".hidden"}}, false);
  EXPECT_EQ(page.status, 400);
  for (const std::string absolute : {"href=\"/", "src=\"/", "action=\"/"}) {
    EXPECT_EQ(page.body.find(absolute), std::string::npos) << absolute;
  }
  for (const std::string relative : {"href=\"app.css\"", "href=\"./\"", "href=\"files/a%20b.txt\""}) {
    EXPECT_NE(page.body.find(relative), std::string::npos) << relative;
  }
  EXPECT_NE(page.body.find("Stored</strong> as <code>a b.txt</code>"), std::string::npos);
  EXPECT_NE(page.body.find("hidden names are not accepted"), std::string::npos);
}

// Over HTTP: the pages follow "next" to the end; bad queries are 400.
TEST_F(ServeFormsTest, ListingPagesOverHttp) {
  std::set<std::string> names;
  for (int i = 0; i < 7; ++i) {
    const std::string name = "p" + std::to_string(i) + ".txt";
    testing::WriteFileBytes(uploads_ / name, name);
    names.insert(name);
  }
  std::set<std::string> seen;
  std::string target = "/files?limit=3";
  int pages = 0;
  for (; pages < 10; ++pages) {
    const HttpAnswer answer = Get(target);
    ASSERT_EQ(answer.status, 200) << answer.body;
    const Json json = JsonOf(answer);
    EXPECT_FALSE(json.contains("truncated"));
    for (const Json& entry : json["files"]) EXPECT_TRUE(seen.insert(entry["name"]).second) << entry.dump();
    if (json["next"].is_null()) break;
    target = "/files?limit=3&cursor=" + json["next"].get<std::string>();
  }
  EXPECT_EQ(pages, 2);
  EXPECT_EQ(seen, names);
  for (const std::string bad : {"/files?limit=0", "/files?limit=abc", "/files?limit=1001", "/files?cursor=zz"}) {
    const HttpAnswer answer = Get(bad);
    EXPECT_EQ(answer.status, 400) << bad;
    EXPECT_FALSE(answer.body.empty());
  }
  EXPECT_NE(server_.Log().find("listing refused: limit must be"), std::string::npos);
  // The request's own log line says why, as every refusal's does.
  EXPECT_NE(server_.Log().find(" 400 in=0 "), std::string::npos) << server_.Log();
  EXPECT_NE(server_.Log().find("reason=\"limit must be"), std::string::npos) << server_.Log();
}

}  // namespace
}  // namespace zimrax::zmfile
