// FormStream's per-file data tap: what it is shown is exactly what is
// stored, whatever the piece sizes and restarts; a tap that says no (or
// throws) drops that field at once and leaves nothing behind, while the
// other fields are stored.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/multipart_body.h"
#include "support/scoped_temp_dir.h"
#include "zimrax/form_stream.h"

namespace zimrax {
namespace {

using testing::AsBytes;
using testing::AsText;

// What a tap saw of each field: the bytes after its last start, and how
// many starts it had.
struct Tapped {
  std::map<std::size_t, std::string> data;
  std::map<std::size_t, int> starts;
};

FormStreamOptions Options(const std::string& dir) {
  FormStreamOptions options;
  options.directory = dir;
  options.file_fields = {"a", "b", "c"};
  options.policy = ConflictPolicy::kError;
  return options;
}

FormStreamOutcome FeedInPieces(FormStream& stream, const std::string& body, std::size_t piece) {
  for (std::size_t at = 0; at < body.size(); at += piece) {
    stream.Feed(AsBytes(body).subspan(at, std::min(piece, body.size() - at)));
  }
  return stream.Finish();
}

// Every stored file holds exactly the bytes the tap saw after the field's
// last start; a field the tap never saw stored nothing.
TEST(FormStreamTapTest, TapSeesExactlyWhatIsStored) {
  const std::string big = std::string(70000, 'x') + "\r\n--" + std::string(5000, 'y');
  const std::vector<std::string> bodies = {
      testing::MultipartBody().File("a", "a.bin", big).File("c", "c.txt", "").File("b", "b.txt", "bee").Build(),
      // A near delimiter inside the data, and a form cut short.
      testing::MultipartBody().File("b", "b.txt", "x\r\n------WebKit").BuildUnterminated(),
      // No first line: the one-NUL stand-in delimiter, then a NUL restarts the walk.
      "\r\nContent-Disposition: form-data; name=\"a\"; filename=\"r.txt\"\r\n\r\nbefore\r\n" + std::string(1, '\0') +
          "Content-Disposition: form-data; name=\"a\"; filename=\"s.txt\"\r\n\r\nafter\r\n" + std::string(1, '\0') +
          "--\r\n",
  };
  for (std::size_t b = 0; b < bodies.size(); ++b) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, bodies[b].size()}) {
      SCOPED_TRACE("body " + std::to_string(b) + ", pieces of " + std::to_string(piece));
      testing::ScopedTempDir dir;
      Tapped tapped;
      FormStreamOptions options = Options(dir.Path());
      options.on_file_data = [&tapped](std::size_t field, std::span<const std::uint8_t> data) {
        if (data.empty()) {
          tapped.data[field].clear();
          ++tapped.starts[field];
        }
        tapped.data[field] += AsText(data);
        return true;
      };
      FormStream stream(std::move(options));
      const FormStreamOutcome outcome = FeedInPieces(stream, bodies[b], piece);
      int stored = 0;
      for (std::size_t field = 0; field < outcome.files.size(); ++field) {
        const OperationResult& result = outcome.files[field].result;
        if (result.ok() && result.code == 0) {
          ++stored;
          ASSERT_EQ(tapped.starts.count(field), 1u) << outcome.files[field].name << " stored without a start";
          EXPECT_TRUE(testing::ReadFile(dir.path() / result.text) == tapped.data[field])
              << outcome.files[field].name << ": stored bytes differ from the tapped ones";
        } else {
          EXPECT_EQ(tapped.data[field], "") << outcome.files[field].name << " not stored, yet its data was tapped";
        }
      }
      EXPECT_GT(stored, 0) << "every body stores a file";
      if (b == 2 && piece == 1) {
        EXPECT_EQ(tapped.starts[0], 2) << "the restart starts field a's data again";
        EXPECT_EQ(dir.Entries(), (std::set<std::string>{"s.txt"})) << "only the new walk's file is stored";
      }
      if (b == 0) {
        EXPECT_EQ(dir.Entries(), (std::set<std::string>{"a.bin", "b.txt", "c.txt"}));
      }
    }
  }
}

// A tap that refuses a field part-way (or throws) drops it: discarded,
// not a byte of it left in the directory, no more of it tapped; the
// fields around it are stored.
TEST(FormStreamTapTest, RefusingTapDropsOnlyThatFieldAtOnce) {
  const std::string body = testing::MultipartBody()
                               .File("a", "a.txt", "first")
                               .File("b", "b.bin", std::string(200000, 'b'))
                               .File("c", "c.txt", "last")
                               .Build();
  for (const bool throws : {false, true}) {
    SCOPED_TRACE(throws ? "throwing tap" : "refusing tap");
    testing::ScopedTempDir dir;
    std::size_t seen_of_b = 0;
    int calls_after_refusal = 0;
    bool refused = false;
    FormStreamOptions options = Options(dir.Path());
    options.on_file_data = [&](std::size_t field, std::span<const std::uint8_t> data) {
      if (field != 1) return true;
      if (refused) ++calls_after_refusal;
      seen_of_b += data.size();
      if (seen_of_b > 100000) {
        refused = true;
        if (throws) throw std::runtime_error("tap failed");
        return false;
      }
      return true;
    };
    FormStream stream(std::move(options));
    const FormStreamOutcome outcome = FeedInPieces(stream, body, 8192);
    ASSERT_EQ(outcome.files.size(), 3u);
    EXPECT_EQ(outcome.files[0].result.code, 0);
    EXPECT_EQ(outcome.files[1].status, FieldStatus::kDiscarded);
    EXPECT_EQ(outcome.files[2].result.code, 0);
    EXPECT_TRUE(refused);
    EXPECT_EQ(calls_after_refusal, 0) << "a dropped field is not tapped again";
    EXPECT_EQ(dir.Entries(), (std::set<std::string>{"a.txt", "c.txt"}));
    EXPECT_EQ(testing::ReadFile(dir.path() / "c.txt"), "last");
  }
}

// Fields that write nothing are not tapped: a refused name, a name taken
// under "error", a discarded field.
TEST(FormStreamTapTest, FieldsThatStoreNothingAreNotTapped) {
  testing::ScopedTempDir dir;
  testing::WriteFile(dir.path() / "taken.txt", "old");
  const std::string body = testing::MultipartBody()
                               .File("a", "../", "bad name")
                               .File("b", "taken.txt", "new")
                               .File("c", "c.txt", "dropped")
                               .Build();
  std::map<std::size_t, int> calls;
  FormStreamOptions options = Options(dir.Path());
  options.on_file_data = [&calls](std::size_t field, std::span<const std::uint8_t>) {
    ++calls[field];
    return true;
  };
  FormStream stream(std::move(options));
  stream.Discard("c");
  FeedInPieces(stream, body, 5);
  EXPECT_TRUE(calls.empty()) << "field " << calls.begin()->first << " was tapped";
  EXPECT_EQ(dir.Entries(), (std::set<std::string>{"taken.txt"}));
}

}  // namespace
}  // namespace zimrax
