// Hostile bodies: each must end with the right code (or fault) and use heap
// memory bounded by what it returns, whatever the body's size. How long
// they take, against random data of the same size, is measured by
// bench/hostile_bodies_benchmark.cc.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include <unistd.h>

#include "hostile_bodies.h"
#include "outcome_checks.h"
#include "support/scoped_temp_dir.h"
#include "zimrax/automation/automation_error.h"
#include "zimrax/automation/variant.h"
#include "zimrax/automation/zm_file.h"
#include "zimrax/form_data.h"

// Heap accounting for this test program: the bytes live now and the most
// live at once since the last ResetPeak().
namespace {

std::atomic<std::size_t> live_bytes{0};
std::atomic<std::size_t> peak_bytes{0};

void* Allocate(std::size_t size) {
  void* block = std::malloc(size + sizeof(std::max_align_t));
  if (block == nullptr) throw std::bad_alloc();
  *static_cast<std::size_t*>(block) = size;
  const std::size_t now = live_bytes += size;
  std::size_t peak = peak_bytes.load();
  while (now > peak && !peak_bytes.compare_exchange_weak(peak, now)) {
  }
  return static_cast<char*>(block) + sizeof(std::max_align_t);
}

void Release(void* pointer) {
  if (pointer == nullptr) return;
  void* block = static_cast<char*>(pointer) - sizeof(std::max_align_t);
  live_bytes -= *static_cast<std::size_t*>(block);
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* pointer) noexcept { Release(pointer); }
void operator delete[](void* pointer) noexcept { Release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { Release(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { Release(pointer); }

namespace zimrax {
namespace {

using hostile::Body;

// Under the sanitizers every byte costs several times more; the rules do
// not depend on the size, so smaller bodies serve there.
#ifdef ZIMRAX_SANITIZED
constexpr std::size_t kLargeBody = std::size_t{8} << 20;
#else
constexpr std::size_t kLargeBody = std::size_t{64} << 20;
#endif
constexpr std::size_t kTenMiB = std::size_t{10} << 20;
// Heap a call may use beyond what it returns.
constexpr std::size_t kHeapSlack = std::size_t{1} << 20;

struct Outcome {
  int fault = 0;
  int code = -1;
  std::string text;
  std::size_t peak_heap = 0;  // the most heap in use during the call, beyond what was in use before
};

Outcome Value(const Body& body, const std::string& name) {
  Outcome outcome;
  const std::size_t before = live_bytes.load();
  peak_bytes = before;
  OperationResult result = FormFieldValue(body, name);
  outcome.peak_heap = peak_bytes.load() - before;
  outcome.text = std::move(result.text);
  outcome.code = result.code;
  outcome.fault = static_cast<int>(result.fault);
  return outcome;
}

Outcome Save(const Body& body, const std::string& name, const std::filesystem::path& dir,
             const std::string& policy = "error") {
  Outcome outcome;
  const std::size_t before = live_bytes.load();
  peak_bytes = before;
  OperationResult result = FileSave(body, name, dir.string(), ParseConflictPolicy(policy));
  outcome.peak_heap = peak_bytes.load() - before;
  outcome.text = std::move(result.text);
  outcome.code = result.code;
  outcome.fault = static_cast<int>(result.fault);
  return outcome;
}

std::size_t EntriesIn(const std::filesystem::path& dir) {
  return static_cast<std::size_t>(
      std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()));
}

class HostileBodyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sandbox_.ok()); }
  std::filesystem::path Dir() const { return sandbox_.Dir(); }
  check::SaveSandbox sandbox_;
};

TEST_F(HostileBodyTest, HundredThousandTinySectionsEndAtTheLastField) {
  const Body values = hostile::TinySections(100000, "target", "");
  const Outcome value = Value(values, "target");
  EXPECT_EQ(0, value.code);
  EXPECT_EQ("last", value.text);
  EXPECT_LE(value.peak_heap, kHeapSlack);
  // Every section is passed over and the close delimiter ends the search.
  EXPECT_EQ(102, Value(values, "absent").code);

  const Body files = hostile::TinySections(100000, "target", "t.bin");
  const Outcome saved = Save(files, "target", Dir());
  EXPECT_EQ(0, saved.code);
  EXPECT_EQ("t.bin", saved.text);
  EXPECT_EQ("last", testing::ReadFile(Dir() / "t.bin"));
  EXPECT_LE(saved.peak_heap, kHeapSlack);
}

TEST_F(HostileBodyTest, BodyWithoutCrLfNeverYieldsData) {
  const Body plain = hostile::WithoutCrLf(kLargeBody, false);
  const Outcome value = Value(plain, "v");
  EXPECT_EQ(105, value.code) << value.text;
  EXPECT_LE(value.peak_heap, kHeapSlack);
  // Without CR LF no header line has an end, so no file name counts.
  const Body with_name = hostile::WithoutCrLf(kLargeBody, true);
  EXPECT_EQ(105, Value(with_name, "v").code);
  const Outcome saved = Save(with_name, "v", Dir());
  EXPECT_EQ(103, saved.code);
  EXPECT_LE(saved.peak_heap, kHeapSlack);
  EXPECT_EQ(0u, EntriesIn(Dir()));
  // The delimiter line is a NUL byte, which the body lacks: once "v" is
  // passed over no further section can start.
  EXPECT_EQ(101, Value(plain, "absent").code);
}

TEST_F(HostileBodyTest, NearBoundariesAreReturnedAndStoredWhole) {
  for (const std::string& token : hostile::NearBoundaryTokens()) {
    SCOPED_TRACE(token);
    const Body payload = hostile::NearBoundaries(token, kLargeBody / 4);
    const Outcome value = Value(hostile::SingleSection(token, "v", "", payload), "v");
    EXPECT_EQ(0, value.code);
    EXPECT_TRUE(value.text == std::string(payload.begin(), payload.end()));
    // The value is copied out once or twice on its way to the caller (which
    // also shows that the heap accounting sees it).
    EXPECT_GE(value.peak_heap, payload.size());
    EXPECT_LE(value.peak_heap, 3 * payload.size() + kHeapSlack);

    const Body file_body = hostile::SingleSection(token, "f", "near.bin", payload);
    const Outcome saved = Save(file_body, "f", Dir());
    EXPECT_EQ(0, saved.code);
    EXPECT_TRUE(testing::ReadFile(Dir() / "near.bin") == std::string(payload.begin(), payload.end()));
    EXPECT_LE(saved.peak_heap, kHeapSlack);
    EXPECT_EQ(102, Value(file_body, "absent").code);
    sandbox_.Reset();
  }
}

TEST_F(HostileBodyTest, DataThatDefeatsTheSearchFilterIsReturnedWhole) {
  const Body payload = hostile::FilterDefeating(kLargeBody / 4);
  const std::string line = hostile::kFilterDefeatingLine;
  const Outcome value = Value(hostile::LineSection(line, "v", "", payload), "v");
  EXPECT_EQ(0, value.code);
  EXPECT_TRUE(value.text == std::string(payload.begin(), payload.end()));
  const Outcome saved = Save(hostile::LineSection(line, "f", "d.bin", payload), "f", Dir());
  EXPECT_EQ(0, saved.code);
  EXPECT_TRUE(testing::ReadFile(Dir() / "d.bin") == std::string(payload.begin(), payload.end()));
  EXPECT_LE(saved.peak_heap, kHeapSlack);
}

TEST_F(HostileBodyTest, TenMebibyteFieldNames) {
  const std::string worked = "--AaB03x\r\n" + std::string(hostile::kDisposition) +
                             "doc\"; filename=\"q3.csv\"\r\n\r\n1,2\r\n--AaB03x--\r\n";
  const Body body(worked.begin(), worked.end());
  const std::string huge_name(kTenMiB, 'd');
  const Outcome value = Value(body, huge_name);
  EXPECT_EQ(102, value.code);
  EXPECT_LE(value.peak_heap, 2 * kTenMiB + kHeapSlack);
  EXPECT_EQ(102, Save(body, huge_name, Dir()).code);

  // A section name that long is passed over without being read whole.
  const Body long_section = hostile::LongSectionName(kTenMiB);
  const Outcome after = Value(long_section, "v");
  EXPECT_EQ(0, after.code);
  EXPECT_EQ("after", after.text);
  EXPECT_LE(after.peak_heap, kHeapSlack);
  EXPECT_EQ(0u, EntriesIn(Dir()));
}

TEST_F(HostileBodyTest, TenMebibyteFileNames) {
  const std::string long_name(kTenMiB, 'a');
  const Body body = hostile::SingleSection("b", "f", long_name, Body{'x'});
  const Outcome value = Value(body, "f");
  EXPECT_EQ(0, value.code);
  EXPECT_TRUE(value.text == long_name);
  EXPECT_LE(value.peak_heap, 3 * kTenMiB + kHeapSlack);

  // No file system takes a name that long: a platform error, nothing left.
  for (const char* policy : {"error", "overwrite", "makeunique"}) {
    const Outcome saved = Save(body, "f", Dir(), policy);
    EXPECT_EQ(75, saved.code) << policy;
    EXPECT_EQ("Path/File access error", saved.text);
    EXPECT_LE(saved.peak_heap, 8 * kTenMiB + kHeapSlack);
    EXPECT_EQ(0u, EntriesIn(Dir()));
  }

  // A client path that long still ends in a usable name.
  std::string client_path;
  while (client_path.size() < kTenMiB) client_path += "dir\\";
  client_path += "end.txt";
  const Outcome stored = Save(hostile::SingleSection("b", "f", client_path, Body{'x'}), "f", Dir());
  EXPECT_EQ(0, stored.code);
  EXPECT_EQ("end.txt", stored.text);
  EXPECT_EQ("x", testing::ReadFile(Dir() / "end.txt"));
}

// Removing tens of thousands of entries from one directory can take a
// minute on some disks; a memory file system, where there is one, keeps this
// test short.
std::filesystem::path ManyFilesBase() {
  std::error_code error;
  if (std::filesystem::is_directory("/dev/shm", error) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
  return std::filesystem::temp_directory_path();
}

TEST(ManyFilesTest, AllNumberedNamesTakenEndsInOverflow) {
  check::SaveSandbox sandbox(ManyFilesBase());
  ASSERT_TRUE(sandbox.ok());
  const std::filesystem::path dir = sandbox.Dir();
  const Body body = hostile::SingleSection("b", "f", "r.txt", Body{'n', 'e', 'w'});
  std::ofstream(dir / "r.txt") << "0";
  for (int n = 1; n <= 32767; ++n) std::ofstream(dir / ("r(" + std::to_string(n) + ").txt")) << "0";
  ASSERT_EQ(32768u, EntriesIn(dir));

  const Outcome saved = Save(body, "f", dir, "makeunique");
  EXPECT_EQ(6, saved.fault);
  EXPECT_LE(saved.peak_heap, kHeapSlack);
  EXPECT_EQ(32768u, EntriesIn(dir));

  // Through the automation object the fault is thrown as 6 "Overflow",
  // after the search began: ErrorCode was already set to 0.
  ZmFile file;
  Variant form_data = Variant::FromBytes(std::vector<std::uint8_t>(body.begin(), body.end()));
  Variant code(std::int16_t{7});
  try {
    file.ZmFileSave(form_data, Variant("f"), Variant(dir.string()), code, Variant("makeunique"));
    ADD_FAILURE() << "expected an overflow fault";
  } catch (const AutomationError& fault) {
    EXPECT_EQ(fault.Number(), 6);
    EXPECT_EQ(fault.Description(), "Overflow");
  }
  EXPECT_EQ(code, Variant(std::int16_t{0}));
  EXPECT_EQ(32768u, EntriesIn(dir));

  // One name freed is found and taken.
  std::filesystem::remove(dir / "r(32767).txt");
  const Outcome last = Save(body, "f", dir, "makeunique");
  EXPECT_EQ(0, last.code);
  EXPECT_EQ("r(32767).txt", last.text);
  EXPECT_EQ("new", testing::ReadFile(dir / "r(32767).txt"));
}

}  // namespace
}  // namespace zimrax
