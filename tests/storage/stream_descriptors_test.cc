// The descriptors a FormStream holds while its file fields are being
// written: one per file whose data has begun plus one for the directory,
// and none for a file its caller's budget refuses (which fails with 67).
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "storage/storage_test_seams.h"
#include "support/multipart_body.h"
#include "support/scoped_temp_dir.h"
#include "zimrax/form_stream.h"
#include "support/numbered.h"

namespace zimrax {
namespace {

using testing::MultipartBody;
using testing::ScopedTempDir;

constexpr int kFiles = 30;

using testing::Numbered;

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

std::string BodyOfFiles() {
  MultipartBody body;
  for (int i = 1; i <= kFiles; ++i) body.File(Numbered("f", i), Numbered("n", i, ".bin"), "data");
  return body.Build();
}

FormStreamOptions OptionsFor(const ScopedTempDir& dir) {
  FormStreamOptions options;
  options.directory = dir.Path();
  for (int i = 1; i <= kFiles; ++i) options.file_fields.push_back(Numbered("f", i));
  return options;
}

TEST(StreamDescriptorsTest, OneDirectoryDescriptorPerStreamNotPerFile) {
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named temporaries" : "unnamed temporaries");
    ForceNamedTempFilesForTesting(named);
    ScopedTempDir dir;
    const int before = OpenDescriptors();
    FormStream stream(OptionsFor(dir));
    stream.Feed(testing::AsBytes(BodyOfFiles()));
    EXPECT_EQ(OpenDescriptors() - before, kFiles + 1);
    const FormStreamOutcome outcome = stream.Finish(ConflictPolicy::kError);
    for (const FieldOutcome& field : outcome.files) EXPECT_EQ(field.result.code, 0) << field.name;
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(dir.Entries().size(), static_cast<std::size_t>(kFiles));
  }
  ForceNamedTempFilesForTesting(false);
}

TEST(StreamDescriptorsTest, FilesTheBudgetRefusesFailWith67AndHoldNothing) {
  ScopedTempDir dir;
  FormStreamOptions options = OptionsFor(dir);
  int asked = 0;
  options.may_open_file = [&asked] { return ++asked <= 5; };
  const int before = OpenDescriptors();
  FormStream stream(std::move(options));
  stream.Feed(testing::AsBytes(BodyOfFiles()));
  EXPECT_EQ(OpenDescriptors() - before, 5 + 1);
  const FormStreamOutcome outcome = stream.Finish(ConflictPolicy::kError);
  EXPECT_EQ(asked, kFiles);
  std::set<std::string> stored;
  for (std::size_t i = 0; i < outcome.files.size(); ++i) {
    const OperationResult& result = outcome.files[i].result;
    if (i < 5) {
      EXPECT_EQ(result.code, 0) << i;
      stored.insert(result.text);
    } else {
      EXPECT_EQ(result.code, 67) << i;
      EXPECT_EQ(result.platform_errno, EMFILE) << i;
    }
  }
  EXPECT_EQ(dir.Entries(), stored);
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
}  // namespace zimrax
