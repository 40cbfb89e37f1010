// The warning for a form whose delimiter line is short: decided from the
// body's first line however its bytes arrive, then carried by a real
// server's answer ("Warning") and log (once per request), while the
// outcome stays what the framing gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "server/delimiter_check.h"
#include "server_process.h"

namespace zimrax::zmfile {
namespace {

namespace fs = std::filesystem;

// The check's warning for `body` fed in pieces of at most `piece` bytes.
std::string WarningFor(const std::string& body, std::size_t piece) {
  DelimiterCheck check;
  for (std::size_t at = 0; at < body.size(); at += piece) {
    const std::size_t size = std::min(piece, body.size() - at);
    check.Feed(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(body.data()) + at, size));
  }
  return check.Warning();
}

// How the warning tells the boundary's length.
std::string LengthText(std::size_t characters) {
  return " is " + std::to_string(characters) + (characters == 1 ? " character" : " characters") + " long";
}

TEST(DelimiterCheckTest, CountsTheFirstLinesCharactersAfterItsDashesHoweverTheyArrive) {
  const std::string rest = "Content-Disposition: form-data; name=\"a\"\r\n\r\nx\r\n";
  struct Case {
    std::string label, body;
    int characters;  // counted in the warning; -1 for no warning
  };
  const std::vector<Case> cases = {
      {"no body", "", -1},
      {"one character", "--B\r\n" + rest, 1},
      {"seven", "--1234567\r\n" + rest, 7},
      {"eight", "--12345678\r\n" + rest, -1},
      {"a browser's", "------WebKitFormBoundaryx8Qz1K7bHf2mNp4e\r\n" + rest, -1},
      {"no leading dashes", "B\r\n" + rest, 1},
      {"eight without dashes", "12345678\r\n" + rest, -1},
      {"dashes only", "-------\r\n" + rest, 5},
      {"an empty first line", "\r\n" + rest, 0},
      // The line ends at CR LF, as the component reads it, not at a bare LF.
      {"a bare LF inside", "--B\n--B-and-more\r\n" + rest, -1},
      {"a bare CR inside", "--B\r--B\r\n" + rest, 5},
      {"cut before its CR LF", "--B", 1},
      {"cut, long enough", "--123456789", -1},
  };
  for (const Case& c : cases) {
    const std::string expected = c.characters < 0 ? "" : LengthText(static_cast<std::size_t>(c.characters));
    for (const std::size_t piece :
         {std::max<std::size_t>(c.body.size(), 1), std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
      const std::string warning = WarningFor(c.body, piece);
      if (c.characters < 0) {
        EXPECT_EQ(warning, "") << c.label << ", pieces of " << piece;
      } else {
        EXPECT_NE(warning.find(expected), std::string::npos) << c.label << ", pieces of " << piece << ": " << warning;
        EXPECT_NE(warning.find("Use a long random boundary"), std::string::npos) << warning;
      }
    }
  }
}

// Through a server: the data still ends where the delimiter's bytes appear
// (with the boundary "B", "HEAD--BTAIL" is stored as "HE", answered 200),
// and the answer and the log say why, once per request.
TEST(DelimiterWarningServeTest, AnswerAndLogWarnOncePerRequestAndTheOutcomeStays) {
  testing::TempDir root;
  const fs::path uploads = root.path() / "uploads";
  testing::ServerProcess server(uploads, {}, root.path() / "server.log");
  ASSERT_TRUE(server.ok()) << server.Log();
  struct Case {
    std::string boundary, data, stored;
    bool warns;
  };
  const std::vector<Case> cases = {
      {"B", "HEAD--BTAIL", "HE", true},
      {"1234567", "HEAD--1234567TAIL", "HE", true},
      {"12345678", "HEAD--BTAIL", "HEAD--BTAIL", false},
      {"zmfileWarningBoundary7Qx2", "HEAD--BTAIL", "HEAD--BTAIL", false},
  };
  const std::string kLogged = "warning: The form's boundary";
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.boundary);
    const std::string name = std::string("f").append(std::to_string(++number)).append(".bin");
    const std::string body = testing::MultipartBody(c.boundary, {{"upload1", c.data, true, name}});
    const std::size_t warnings_before = server.Log().size();
    const testing::HttpAnswer answer = testing::ParseHttpAnswer(
        testing::RawExchange(server.port(), testing::UploadRequest(server.port(), c.boundary, body)));
    EXPECT_EQ(answer.status, 200) << answer.body;
    const nlohmann::json json = nlohmann::json::parse(answer.body, nullptr, false);
    ASSERT_TRUE(json.is_object()) << answer.body;
    EXPECT_EQ(json["ErrorCode"], 0);
    EXPECT_EQ(json["Message"], "Stored as " + name + ".");
    EXPECT_EQ(json.contains("Warning"), c.warns) << answer.body;
    if (c.warns) {
      EXPECT_NE(json["Warning"].get<std::string>().find(LengthText(c.boundary.size())), std::string::npos)
          << answer.body;
    }
    EXPECT_EQ(testing::ReadFileBytes(uploads / name), c.stored);
    const std::string log = server.Log().substr(warnings_before);
    std::size_t logged = 0;
    for (std::size_t at = log.find(kLogged); at != std::string::npos; at = log.find(kLogged, at + 1)) ++logged;
    EXPECT_EQ(logged, c.warns ? 1u : 0u) << log;
  }
  EXPECT_EQ(server.Interrupt(), 0) << server.Log();
}

}  // namespace
}  // namespace zimrax::zmfile
