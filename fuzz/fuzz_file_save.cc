// ZmFileSave on arbitrary bodies, field names and name-conflict policies,
// writing into a fresh destination directory for every input.
//
// Input: flags (1 byte), field name length (1 byte), field name, body.
//   bits 0-1  policy: "error", "overwrite", "makeunique", or omitted
//   bit 2     the policy text in capitals
//   bits 3-4  what already stands at the stored name: nothing, a file, a
//             dangling symbolic link to ../escape, or a directory
//   bit 5     a file already stands at the first numbered name
//   bit 6     a second, identical call follows the first
//
// After each call the directory must hold exactly what it held before plus
// the one file that a successful call reports, with the bytes the reference
// model gives; a non-zero ErrorCode or a fault leaves it unchanged. The
// parent directory must keep holding the destination directory only, and no
// file descriptor may stay open.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "fuzz_input.h"
#include "multipart_model.h"
#include "zimrax/automation_error.h"
#include "zimrax/result_code.h"
#include "zimrax/zm_file.h"

namespace {

namespace fs = std::filesystem;
using zimrax::model::Directory;
using zimrax::model::Entry;

constexpr const char* kPolicies[] = {"error", "overwrite", "makeunique"};
constexpr const char* kPoliciesInCapitals[] = {"ERROR", "OverWrite", "MakeUnique"};
constexpr const char kPreviousContent[] = "previous content";

[[noreturn]] void Finding(const char* what, const std::string& detail) {
  std::fprintf(stderr, "file_save: %s (%s)\n", what, detail.c_str());
  std::abort();
}

// The parent directory of every destination directory, made once.
const fs::path& Parent() {
  static const fs::path parent = [] {
    std::string pattern = (fs::temp_directory_path() / "zimrax-fuzz-save.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) Finding("cannot make the parent directory", pattern);
    std::atexit([] { fs::remove_all(Parent()); });
    return fs::path(pattern);
  }();
  return parent;
}

Directory List(const fs::path& dir) {
  Directory entries;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    const fs::file_status status = entry.symlink_status();
    const Entry kind = fs::is_symlink(status) ? Entry::kSymlink
                       : fs::is_directory(status) ? Entry::kDirectory
                                                  : Entry::kFile;
    if (kind == Entry::kFile && !fs::is_regular_file(status)) Finding("unexpected kind of entry", entry.path());
    entries[entry.path().filename().string()] = kind;
  }
  return entries;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int OpenDescriptors() {
  int count = 0;
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return -1;
  while (readdir(fds) != nullptr) ++count;
  closedir(fds);
  return count;
}

// The bytes every regular file in the destination directory must hold.
using Contents = std::map<std::string, std::string>;

// Puts `kind` at `name` in `dir`; a name that cannot be a directory entry
// is left out.
void Place(const fs::path& dir, const std::string& name, Entry kind, Contents& contents) {
  if (zimrax::model::IsBadStoredName(name) || name.size() > zimrax::model::kNameMax) return;
  const fs::path path = dir / name;
  std::error_code error;
  switch (kind) {
    case Entry::kFile:
      std::ofstream(path, std::ios::binary) << kPreviousContent;
      contents[name] = kPreviousContent;
      break;
    case Entry::kSymlink: fs::create_symlink("../escape", path, error); break;
    case Entry::kDirectory: fs::create_directory(path, error); break;
  }
}

// One call of ZmFileSave, checked against the model and the directory.
void SaveAndCheck(const std::span<const std::uint8_t> body, const std::string& name, int policy_index,
                  bool capitals, const fs::path& dir, Contents& contents) {
  const Directory before = List(dir);
  const int descriptors = OpenDescriptors();
  const std::string policy = policy_index < 3 ? kPolicies[policy_index] : "error";
  const zimrax::Variant conflict = policy_index == 3 ? zimrax::Variant::Missing()
                                   : capitals        ? zimrax::Variant(kPoliciesInCapitals[policy_index])
                                                     : zimrax::Variant(kPolicies[policy_index]);

  zimrax::Variant error_code(std::int32_t{-1});
  int fault = zimrax::model::kNoFault;
  std::string text;
  zimrax::ZmFile file;
  try {
    text = file.ZmFileSave(body, name, dir.string(), error_code, conflict).ToText();
  } catch (const zimrax::AutomationError& error) {
    fault = error.Number();
  }

  const zimrax::model::SaveResult expected =
      zimrax::model::FileSave(std::string(body.begin(), body.end()), name, policy, before);
  const Directory after = List(dir);
  if (OpenDescriptors() != descriptors) Finding("a file descriptor stays open", "");
  if (List(Parent()) != Directory{{"d", Entry::kDirectory}}) Finding("an entry appeared beside the directory", "");
  if (fault != expected.fault) {
    Finding("fault differs from the model", std::to_string(fault) + " vs " + std::to_string(expected.fault));
  }
  const int code = fault == zimrax::model::kNoFault ? error_code.ToInt32() : -1;
  if (fault != zimrax::model::kNoFault || code != 0) {
    if (after != before) Finding("a failed call changed the directory", std::to_string(code));
    for (const auto& [file_name, bytes] : contents) {
      if (ReadFile(dir / file_name) != bytes) Finding("a failed call changed a file", file_name);
    }
    if (fault != zimrax::model::kNoFault) return;
    if (expected.platform_error) {
      if (code == 0 || (code >= 101 && code <= 106)) Finding("expected a file-system failure", std::to_string(code));
      return;
    }
    if (code != expected.code) Finding("code differs from the model", std::to_string(code));
    if (text != zimrax::ResultMessage(static_cast<zimrax::ResultCode>(code), zimrax::Operation::kFileSave)) {
      Finding("message does not match the code", text);
    }
    return;
  }
  if (error_code.Type() != zimrax::VariantType::kInt16) Finding("ErrorCode is not a 16-bit integer", "");
  if (expected.code != 0 || expected.platform_error) Finding("success where the model fails", text);
  if (text != expected.stored_name) Finding("stored name differs from the model", text);
  Directory wanted_after = before;
  wanted_after[text] = Entry::kFile;
  if (after != wanted_after) Finding("the directory does not hold exactly the reported file", text);
  contents[text] = expected.data;
  for (const auto& [file_name, bytes] : contents) {
    if (ReadFile(dir / file_name) != bytes) Finding("a file holds other bytes than expected", file_name);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  zimrax::fuzz::FuzzInput input(bytes, size);
  const std::uint8_t flags = input.TakeByte();
  const std::string name(input.TakeShortText());
  const std::span<const std::uint8_t> body = input.Rest();

  const fs::path dir = Parent() / "d";
  fs::create_directory(dir);
  // Occupy the names the call will meet, as the flags ask.
  const zimrax::model::ScanResult scan = zimrax::model::FileSaveScan(std::string(body.begin(), body.end()), name);
  const std::string stored = zimrax::model::StoredName(scan.client_name);
  Contents contents;
  if (!scan.client_name.empty()) {
    const int occupant = (flags >> 3) & 3;
    if (occupant != 0) Place(dir, stored, static_cast<Entry>(occupant - 1), contents);
    if (flags & 0x20) Place(dir, zimrax::model::NumberedName(stored, 1), Entry::kFile, contents);
  }

  const int calls = (flags & 0x40) ? 2 : 1;
  for (int i = 0; i < calls; ++i) SaveAndCheck(body, name, flags & 3, (flags & 4) != 0, dir, contents);
  fs::remove_all(dir);
  return 0;
}
