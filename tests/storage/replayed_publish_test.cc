// A network file system may answer a link or rename it sent again after
// losing the reply with EEXIST although the first call made the name. The
// writer tells that from a name another file holds: the upload is stored
// under its own name and answered so, while a name truly taken is still
// refused ("error") or skipped ("makeunique").
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "storage/atomic_file_writer.h"
#include "storage/storage_test_seams.h"
#include "support/multipart_body.h"
#include "support/scoped_temp_dir.h"

namespace zimrax {
namespace {

using testing::ScopedTempDir;

// Sets the seams for one case and clears them after.
class Seams {
 public:
  Seams(bool named, bool replay) {
    ForceNamedTempFilesForTesting(named);
    ReplayNextPublishForTesting(replay);
  }
  ~Seams() {
    ForceNamedTempFilesForTesting(false);
    ReplayNextPublishForTesting(false);
  }
};

StoreReport Save(const ScopedTempDir& dir, const std::string& name, const std::string& content, ConflictPolicy policy) {
  AtomicFileWriter writer;
  if (StoreReport opened = writer.Open(dir.Path()); !opened.ok()) return opened;
  if (StoreReport written = writer.Append(testing::AsBytes(content)); !written.ok()) return written;
  return writer.Publish(DestinationFor(dir.Path(), name, 0), policy);
}

TEST(ReplayedPublishTest, AReplayedLinkOrRenameIsStoredAndATakenNameStillRefused) {
  const struct {
    ConflictPolicy policy;
    bool taken;        // a file of another writer holds the name first
    StoreStatus want;  // the status of the save
    const char* stored_as;
  } kCases[] = {
      {ConflictPolicy::kError, false, StoreStatus::kStored, "a.txt"},
      {ConflictPolicy::kMakeUnique, false, StoreStatus::kStored, "a.txt"},
      {ConflictPolicy::kError, true, StoreStatus::kTaken, nullptr},
      {ConflictPolicy::kMakeUnique, true, StoreStatus::kStored, "a(1).txt"},
  };
  for (const bool named : {false, true}) {
    for (const bool replay : {false, true}) {
      for (const auto& c : kCases) {
        ScopedTempDir dir;
        std::set<std::string> want_entries;
        if (c.taken) {
          testing::WriteFile(dir.path() / "a.txt", "the other writer's");
          want_entries.insert("a.txt");
        }
        const std::string where = std::string(named ? "named" : "unnamed") + (replay ? ", replayed" : "") +
                                  (c.taken ? ", taken" : "") + ", policy " + std::to_string(static_cast<int>(c.policy));
        StoreReport report;
        {
          Seams seams(named, replay);
          report = Save(dir, "a.txt", "mine", c.policy);
        }
        EXPECT_EQ(report.status, c.want) << where;
        if (c.stored_as != nullptr) {
          EXPECT_EQ(report.entry_name, c.stored_as) << where;
          EXPECT_EQ(testing::ReadFile(dir.path() / c.stored_as), "mine") << where;
          want_entries.insert(c.stored_as);
        }
        if (c.taken) {
          EXPECT_EQ(testing::ReadFile(dir.path() / "a.txt"), "the other writer's") << where;
        }
        // One name for the upload at most, and no hidden temporary left.
        EXPECT_EQ(dir.Entries(), want_entries) << where;
      }
    }
  }
}

}  // namespace
}  // namespace zimrax
