// Optional file inputs: the parts a browser sends for an input left empty
// are found, as the component reads the body, however it is cut; and the
// rule for the answer.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "server/answers.h"
#include "server/optional_inputs.h"
#include "server/upload_stream.h"
#include "server_process.h"

namespace zimrax::zmfile {
namespace {

using testing::FormPart;
using testing::MultipartBody;

constexpr const char* kBoundary = "----WebKitFormBoundaryq8Xv0aT1mFz2";

// The file fields the server takes for inputs left empty, with the body fed
// in pieces of `piece` bytes.
std::vector<std::string> UnchosenOf(const std::string& body, std::size_t piece) {
  testing::TempDir dir;
  UploadStream upload(dir.path().string(), "makeunique", UploadLimits{});
  for (std::size_t at = 0; at < body.size(); at += piece) {
    const std::string_view part = std::string_view(body).substr(at, piece);
    upload.Feed(std::span(reinterpret_cast<const std::uint8_t*>(part.data()), part.size()));
  }
  UploadReport report = upload.Finish();
  ApplyOptionalInputs(report, [](const FileReport& file) { return file.no_data; });
  std::vector<std::string> found;
  for (const FileReport& file : report.files) {
    if (file.unchosen) found.push_back(file.field);
  }
  return found;
}

TEST(UnchosenFileInputsTest, FindsEmptyInputsInAnyPieces) {
  const std::string big(20000, 'x');
  struct Case {
    std::string label;
    std::vector<FormPart> parts;
    std::vector<std::string> unchosen;
  };
  const std::vector<Case> cases = {
      {"second empty", {{"upload1", "data", true, "a.txt"}, {"upload2", "", true, ""}}, {"upload2"}},
      {"first empty, last part", {{"upload2", big, true, "b.bin"}, {"upload1", "", true, ""}}, {"upload1"}},
      {"all empty", {{"upload1", "", true, ""}, {"upload2", "", true, ""}}, {"upload1", "upload2"}},
      {"an empty file with a name is chosen", {{"upload1", "", true, "empty.txt"}}, {}},
      {"no name but data", {{"upload1", "data", true, ""}}, {}},
      {"a one-byte name", {{"upload1", "", true, "a"}}, {}},
      {"an empty plain field", {{"comment", "", false, ""}, {"upload1", "d", true, "d.txt"}}, {}},
      {"data that looks like an empty part",
       {{"upload1", "\r\n--" + std::string(kBoundary) + "\r\nContent-Disposition: form-data; name=\"upload3\"; "
                    "filename=\"\"\r\n\r\nmore", true, "tricky.bin"}},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string body = MultipartBody(kBoundary, c.parts);
    for (const std::size_t piece : {body.size(), std::size_t{1}, std::size_t{7}, std::size_t{64}, std::size_t{4099}}) {
      EXPECT_EQ(UnchosenOf(body, piece), c.unchosen) << "pieces of " << piece;
    }
  }
}

FileReport Outcome(const std::string& field, std::int16_t code, const std::string& result) {
  FileReport file;
  file.field = field;
  file.outcome = OperationResult{};
  file.outcome->code = code;
  file.outcome->text = result;
  return file;
}

TEST(OptionalInputsTest, UnchosenInputsAreSkippedBesideAChosenFile) {
  const FileReport stored = Outcome("upload2", 0, "b.txt");
  const FileReport empty1 = Outcome("upload1", 104, "Error: Bad Form Filename.");
  const FileReport empty3 = Outcome("upload3", 104, "Error: Bad Form Filename.");
  const FileReport named1 = Outcome("upload1", 104, "Error: Bad Form Filename.");  // a bad name, not empty
  const FileReport taken3 = Outcome("upload3", 106, "Error: File Already Exists.");
  struct Case {
    std::string label;
    std::vector<FileReport> files;
    std::vector<std::string> sent_empty;
    int status;
    std::string top_field;
    std::vector<bool> skipped;
  };
  const std::vector<Case> cases = {
      {"empty upload1 beside a stored upload2", {empty1, stored}, {"upload1"}, 200, "upload2", {true, false}},
      {"empty upload3 after a stored one", {stored, empty3}, {"upload3"}, 200, "upload2", {false, true}},
      {"every input empty", {empty1, empty3}, {"upload1", "upload3"}, 400, "upload1", {false, false}},
      {"a bad name is not an empty input", {named1, stored}, {}, 400, "upload1", {false, false}},
      {"a chosen file that failed keeps its status", {empty1, taken3}, {"upload1"}, 409, "upload3", {true, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    UploadReport report;
    report.files = c.files;
    static_cast<FileReport&>(report) = report.files.front();
    ApplyOptionalInputs(report, [&](const FileReport& f) {
      return std::find(c.sent_empty.begin(), c.sent_empty.end(), f.field) != c.sent_empty.end();
    });
    EXPECT_EQ(HttpStatusOf(report), c.status);
    EXPECT_EQ(report.field, c.top_field);
    for (std::size_t i = 0; i < c.skipped.size(); ++i) EXPECT_EQ(report.files[i].skipped, c.skipped[i]) << i;
    const nlohmann::json json = nlohmann::json::parse(UploadJson(report));
    for (std::size_t i = 0; i < c.skipped.size(); ++i) {
      EXPECT_EQ(json["Files"][i].value("Skipped", false), c.skipped[i]);
      const std::string message = json["Files"][i]["Message"];
      const bool says_unchosen = message.find("No file was chosen") != std::string::npos;
      EXPECT_EQ(says_unchosen, report.files[i].unchosen) << message;
    }
  }
}

}  // namespace
}  // namespace zimrax::zmfile
