// PublishStagedFile against FileSave: for every policy and every state of
// the destination directory, publishing a staged file must end exactly as
// saving the same name and bytes from a form does (code, stored name,
// replaced flag, directory contents), and concurrent publishes must race
// as concurrent saves do.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "support/multipart_body.h"
#include "support/scoped_temp_dir.h"
#include "zimrax/form_data.h"
#include "zimrax/staged_file.h"

namespace zimrax {
namespace {

using testing::MultipartBody;
using testing::ReadFile;
using testing::ScopedTempDir;
using testing::WriteFile;

// The directory's files (the staging folder left out) and their contents.
std::map<std::string, std::string> Contents(const ScopedTempDir& dir) {
  std::map<std::string, std::string> files;
  for (const std::string& name : dir.Entries()) {
    if (name != ".staging") files[name] = ReadFile(dir.Path(name));
  }
  return files;
}

struct Scene {
  std::string client_name;
  std::vector<std::string> existing;  // files in the directory before
};

TEST(StagedPublishTest, EndsAsFileSaveDoesForEveryPolicyAndDirectoryState) {
  const std::vector<Scene> scenes = {
      {"photo.jpg", {}},
      {"photo.jpg", {"photo.jpg"}},
      {"photo.jpg", {"photo.jpg", "photo(1).jpg"}},
      {"README", {"README", "README(1)."}},
      {"C:\\Users\\me\\photo.jpg", {"photo.jpg"}},  // a client path: its last piece
      {"dir/photo.jpg", {}},
      {"..", {}},
      {"a\\..", {}},
      {".", {}},
      {"", {}},
      {std::string(256, 'n'), {}},  // no directory entry holds it
  };
  const std::string content = "the uploaded bytes\r\n--not a delimiter\r\n";
  for (const ConflictPolicy policy : {ConflictPolicy::kError, ConflictPolicy::kOverwrite, ConflictPolicy::kMakeUnique}) {
    for (const Scene& scene : scenes) {
      SCOPED_TRACE("policy " + std::string(ConflictPolicyName(policy)) + ", name '" + scene.client_name + "'");
      ScopedTempDir saved_dir, published_dir;
      for (const std::string& name : scene.existing) {
        WriteFile(saved_dir.Path(name), "old " + name);
        WriteFile(published_dir.Path(name), "old " + name);
      }
      const std::string body = MultipartBody().File("f", scene.client_name, content).Build();
      const OperationResult saved = FileSave(testing::AsBytes(body), "f", saved_dir.Path(), policy);

      std::filesystem::create_directory(published_dir.Path(".staging"));
      const std::string staged = published_dir.Path(".staging/upload.data");
      WriteFile(staged, content);
      const OperationResult published = PublishStagedFile(staged, scene.client_name, published_dir.Path(), policy);

      EXPECT_EQ(published.code, saved.code);
      EXPECT_EQ(published.fault, saved.fault);
      EXPECT_EQ(published.text, saved.text);
      EXPECT_EQ(published.stored_name, saved.stored_name);
      EXPECT_EQ(published.replaced, saved.replaced);
      EXPECT_EQ(Contents(published_dir), Contents(saved_dir));
      // The staged name goes with success, and stays on failure.
      EXPECT_EQ(std::filesystem::exists(staged), !published.ok());
    }
  }
}

TEST(StagedPublishTest, DurablePublishStoresTheSameFile) {
  ScopedTempDir dir;
  const std::string staged = dir.Path(".staged");
  WriteFile(staged, "durable bytes");
  const OperationResult result =
      PublishStagedFile(staged, "d.txt", dir.Path(), ConflictPolicy::kError, SaveOptions{.durable = true});
  ASSERT_TRUE(result.ok()) << result.text;
  EXPECT_EQ(ReadFile(dir.Path("d.txt")), "durable bytes");
}

// Publishes of one name released at once: "makeunique" gives each its own
// name with its own bytes; "error" lets exactly one in and keeps the others'
// staged files.
TEST(StagedPublishTest, ConcurrentPublishesOfOneName) {
  constexpr int kWriters = 8;
  for (const ConflictPolicy policy : {ConflictPolicy::kMakeUnique, ConflictPolicy::kError}) {
    ScopedTempDir dir;
    std::vector<std::string> staged;
    for (int i = 0; i < kWriters; ++i) {
      staged.push_back(dir.Path(".staged" + std::to_string(i)));
      WriteFile(staged.back(), "writer " + std::to_string(i));
    }
    std::vector<OperationResult> results(kWriters);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kWriters; ++i) {
      threads.emplace_back([&, i] {
        ready.fetch_add(1);
        while (ready.load() < kWriters) std::this_thread::yield();
        results[i] = PublishStagedFile(staged[i], "same.bin", dir.Path(), policy);
      });
    }
    for (std::thread& thread : threads) thread.join();
    std::set<std::string> names;
    int stored = 0;
    for (int i = 0; i < kWriters; ++i) {
      if (results[i].ok()) {
        ++stored;
        names.insert(results[i].stored_name);
        EXPECT_EQ(ReadFile(dir.Path(results[i].stored_name)), "writer " + std::to_string(i));
        EXPECT_FALSE(std::filesystem::exists(staged[i]));
      } else {
        EXPECT_EQ(results[i].code, 106);
        EXPECT_EQ(ReadFile(staged[i]), "writer " + std::to_string(i));
      }
    }
    EXPECT_EQ(names.size(), static_cast<std::size_t>(stored));
    EXPECT_EQ(stored, policy == ConflictPolicy::kMakeUnique ? kWriters : 1);
  }
}

}  // namespace
}  // namespace zimrax
