// Runs the public operations on one body and checks everything observable
// against the reference model (multipart_model.h): the fault or the code,
// its message, the returned value or stored name, and for ZmFileSave the
// destination directory, its parent and the process's open descriptors.
// Each check returns "" when all holds, otherwise what broke. Shared by the
// hardening tests and the fuzz targets.
#ifndef ZIMRAX_TESTS_HARDENING_OUTCOME_CHECKS_H_
#define ZIMRAX_TESTS_HARDENING_OUTCOME_CHECKS_H_

#include <dirent.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <span>
#include <string>

#include "multipart_model.h"
#include "support/scoped_temp_dir.h"
#include "zimrax/automation/automation_error.h"
#include "zimrax/result_code.h"
#include "zimrax/automation/zm_file.h"

namespace zimrax::check {

// How a call ended, for tallies: the ErrorCode, or minus the fault number.
using Ending = int;

// Calls ZmFormFieldValue on `body` for `name` and compares with the model.
// Stores how the call ended in *ending when given.
inline std::string FormFieldValue(std::span<const std::uint8_t> body, const std::string& name,
                                  Ending* ending = nullptr) {
  Variant error_code(std::int32_t{-1});
  int fault = model::kNoFault;
  std::string value;
  ZmFile file;
  try {
    Variant form_data = Variant::BorrowBytes(body);
    const Variant result = file.ZmFormFieldValue(form_data, Variant(name), error_code);
    if (result.Type() != VariantType::kString) return "the result is not a string";
    value = result.ToText();
  } catch (const AutomationError& error) {
    fault = error.Number();
  }
  if (ending != nullptr) *ending = fault != model::kNoFault ? -fault : error_code.ToInt32();
  const model::ScanResult expected = model::FormFieldValue(std::string(body.begin(), body.end()), name);
  if (fault != expected.fault) return "fault " + std::to_string(fault) + ", model " + std::to_string(expected.fault);
  if (fault != model::kNoFault) return "";
  if (error_code.Type() != VariantType::kInt16) return "ErrorCode is not a 16-bit integer";
  const int code = error_code.ToInt32();
  if (code != expected.code) return "code " + std::to_string(code) + ", model " + std::to_string(expected.code);
  if (code == 0) return value == expected.value ? "" : "value differs from the model";
  return value == ResultMessage(static_cast<ResultCode>(code), Operation::kFormFieldValue)
             ? ""
             : "message does not match code " + std::to_string(code);
}

// The name-conflict policies as a caller passes them.
enum class Policy { kError, kOverwrite, kMakeUnique, kOmitted };

inline std::string PolicyText(Policy policy) {
  switch (policy) {
    case Policy::kOverwrite: return "overwrite";
    case Policy::kMakeUnique: return "makeunique";
    default: return "error";
  }
}

// A parent directory holding one destination directory "d", both removed
// on destruction. Knows which files "d" must hold and with which bytes.
class SaveSandbox {
 public:
  // The parent is made in `base`, by default the system's temporary directory.
  explicit SaveSandbox(const std::filesystem::path& base = std::filesystem::temp_directory_path())
      : temp_(base), parent_(temp_.path()) {
    Reset();
  }
  SaveSandbox(const SaveSandbox&) = delete;
  SaveSandbox& operator=(const SaveSandbox&) = delete;

  bool ok() const { return !parent_.empty(); }
  // How the last Save ended.
  Ending LastEnding() const { return last_ending_; }
  std::filesystem::path Dir() const { return parent_ / "d"; }

  // Empties the destination directory. Its entries go one by one: making
  // and removing directories is slow on some file systems.
  void Reset() {
    std::error_code ignored;
    std::filesystem::create_directory(Dir(), ignored);
    for (const auto& entry : std::filesystem::directory_iterator(Dir(), ignored)) {
      std::filesystem::remove_all(entry.path(), ignored);
    }
    contents_.clear();
  }

  // Puts an entry of `kind` at `name`: a file with known bytes, a dangling
  // symbolic link to ../escape (beside the directory) or a directory. A
  // name no directory entry can have is left out.
  void Place(const std::string& name, model::Entry kind) {
    if (model::IsBadStoredName(name) || name.size() > model::kNameMax) return;
    const std::filesystem::path path = Dir() / name;
    std::error_code ignored;
    switch (kind) {
      case model::Entry::kFile:
        std::ofstream(path, std::ios::binary) << "previous content";
        contents_[name] = "previous content";
        break;
      case model::Entry::kSymlink: std::filesystem::create_symlink("../escape", path, ignored); break;
      case model::Entry::kDirectory: std::filesystem::create_directory(path, ignored); break;
    }
  }

  // Calls ZmFileSave into Dir() and checks the outcome with the model. A
  // success must add exactly the reported file, holding the model's bytes;
  // anything else must leave the directory and its files as they were.
  std::string Save(std::span<const std::uint8_t> body, const std::string& name, Policy policy,
                   bool capitals = false) {
    last_ending_ = -1;
    const model::Directory before = List(Dir());
    const int descriptors = OpenDescriptors();
    const std::string text_of_policy = PolicyText(policy);
    std::string passed = text_of_policy;
    if (capitals) {
      for (char& c : passed) c = static_cast<char>(c - 'a' + 'A');
    }
    const Variant conflict = policy == Policy::kOmitted ? Variant::Missing() : Variant(passed);

    Variant error_code(std::int32_t{-1});
    int fault = model::kNoFault;
    std::string text;
    ZmFile file;
    try {
      Variant form_data = Variant::BorrowBytes(body);
      text = file.ZmFileSave(form_data, Variant(name), Variant(Dir().string()), error_code, conflict).ToText();
    } catch (const AutomationError& error) {
      fault = error.Number();
    }

    last_ending_ = fault != model::kNoFault ? -fault : error_code.ToInt32();
    const model::SaveResult expected =
        model::FileSave(std::string(body.begin(), body.end()), name, text_of_policy, before);
    const model::Directory after = List(Dir());
    if (OpenDescriptors() != descriptors) return "a file descriptor stays open";
    if (List(parent_) != model::Directory{{"d", model::Entry::kDirectory}}) return "an entry appeared beside d";
    if (fault != expected.fault) {
      return "fault " + std::to_string(fault) + ", model " + std::to_string(expected.fault);
    }
    const int code = fault == model::kNoFault ? error_code.ToInt32() : -1;
    if (fault != model::kNoFault || code != 0) {
      if (after != before) return "a failed call changed the directory";
      if (const std::string changed = ChangedFile(); !changed.empty()) return "a failed call changed " + changed;
      if (fault != model::kNoFault) return "";
      if (expected.platform_error) {
        return code >= 101 && code <= 106 ? "code " + std::to_string(code) + ", model a platform error" : "";
      }
      if (code != expected.code) return "code " + std::to_string(code) + ", model " + std::to_string(expected.code);
      return text == ResultMessage(static_cast<ResultCode>(code), Operation::kFileSave)
                 ? ""
                 : "message does not match code " + std::to_string(code);
    }
    if (error_code.Type() != VariantType::kInt16) return "ErrorCode is not a 16-bit integer";
    if (expected.code != 0 || expected.platform_error) {
      return "stored " + text + ", model code " + std::to_string(expected.code);
    }
    if (text != expected.stored_name) return "stored name " + text + ", model " + expected.stored_name;
    model::Directory wanted = before;
    wanted[text] = model::Entry::kFile;
    if (after != wanted) return "the directory does not hold exactly the reported file";
    contents_[text] = expected.data;
    if (const std::string changed = ChangedFile(); !changed.empty()) return "unexpected bytes in " + changed;
    return "";
  }

 private:
  static model::Directory List(const std::filesystem::path& dir) {
    model::Directory entries;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
      const std::filesystem::file_status status = entry.symlink_status();
      entries[entry.path().filename().string()] = std::filesystem::is_symlink(status) ? model::Entry::kSymlink
                                                  : std::filesystem::is_directory(status) ? model::Entry::kDirectory
                                                                                          : model::Entry::kFile;
    }
    return entries;
  }

  static int OpenDescriptors() {
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return -1;
    while (readdir(fds) != nullptr) ++count;
    closedir(fds);
    return count;
  }

  // The first file whose bytes are not the expected ones, or "".
  std::string ChangedFile() const {
    for (const auto& [name, bytes] : contents_) {
      std::ifstream in(Dir() / name, std::ios::binary);
      const std::string actual((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (actual != bytes) return name;
    }
    return "";
  }

  testing::ScopedTempDir temp_;  // the parent, removed with everything in it
  std::filesystem::path parent_;
  std::map<std::string, std::string> contents_;
  Ending last_ending_ = -1;
};

}  // namespace zimrax::check

#endif  // ZIMRAX_TESTS_HARDENING_OUTCOME_CHECKS_H_
