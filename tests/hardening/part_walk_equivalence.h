// Walks every part of a body cut into pieces, storing (or reading) the
// first part of each name, and runs FileSave (or FormFieldValue) for each
// of those names on the whole body, in two directories that start alike;
// reports the first difference: an outcome, the files stored, a tapped
// part's bytes against its stored file, a part the operations do not find.
// Shared by the differential test and the fuzz target.
#ifndef ZIMRAX_TESTS_HARDENING_PART_WALK_EQUIVALENCE_H_
#define ZIMRAX_TESTS_HARDENING_PART_WALK_EQUIVALENCE_H_

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "support/scoped_temp_dir.h"
#include "zimrax/form_data.h"
#include "zimrax/part_stream.h"

namespace zimrax::check {

struct PartWalkCase {
  ConflictPolicy policy = ConflictPolicy::kError;
  bool policy_in_decision = false;  // given with each decision, or to Finish
  bool read_values = false;         // read the parts instead of storing them
  bool decide_later = false;        // answer kDecideLater, then Decide at once
  std::size_t value_cap = 64 << 10;
  std::vector<std::string> occupied;  // files that stand in the directory before
};

// Stores or reads the first part of each name, taps every part.
class FirstOfEachName final : public PartHandler {
 public:
  FirstOfEachName(const PartWalkCase& c, const std::string& directory) : case_(c), directory_(directory) {}
  void Attach(PartStream* stream) { stream_ = stream; }
  void FeedingEnds() { feeding_ = false; }

  PartDecision OnPart(const PartInfo& part) override {
    if (part.index != parts_.size()) broken_ = "part " + std::to_string(part.index) + " reported out of order";
    parts_.push_back(part);
    taps_.emplace_back();
    PartDecision decision = PartDecision::Tap();
    if (first_.insert(part.name).second) {
      decision = case_.read_values ? PartDecision::Read(case_.value_cap) : PartDecision::Store();
      decision.tap = true;
      decision.directory = directory_;
      if (case_.policy_in_decision) decision.policy = case_.policy;
    }
    // Parts reported by Finish cannot wait for a decision.
    if (!case_.decide_later || !feeding_) return decision;
    // Decided at once through the late path: Decide runs before the data.
    later_.push_back(decision);
    return PartDecision::Later();
  }
  void OnData(std::size_t index, std::span<const std::uint8_t> bytes) override {
    if (index >= taps_.size()) {
      broken_ = "data for a part not reported";
      return;
    }
    taps_[index].append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  void OnRestart() override {
    parts_.clear();
    taps_.clear();
    first_.clear();
    later_.clear();
    ++restarts_;
  }
  // After each Feed: the late decisions go in.
  void DecideWaiting() {
    for (std::size_t i = 0; i < later_.size(); ++i) {
      if (!stream_->Decide(parts_.size() - later_.size() + i, later_[i])) broken_ = "Decide refused a waiting part";
    }
    later_.clear();
  }

  const std::vector<PartInfo>& parts() const { return parts_; }
  const std::vector<std::string>& taps() const { return taps_; }
  const std::string& broken() const { return broken_; }

 private:
  const PartWalkCase& case_;
  const std::string& directory_;
  PartStream* stream_ = nullptr;
  bool feeding_ = true;
  std::vector<PartInfo> parts_;
  std::vector<std::string> taps_;
  std::set<std::string> first_;
  std::vector<PartDecision> later_;
  int restarts_ = 0;
  std::string broken_;
};

inline std::string DifferenceOf(const OperationResult& r, const OperationResult& want) {
  if (r.fault != want.fault)
    return "fault " + std::to_string(static_cast<int>(r.fault)) + ", whole body " +
           std::to_string(static_cast<int>(want.fault));
  if (r.code != want.code) return "code " + std::to_string(r.code) + ", whole body " + std::to_string(want.code);
  if (r.width != want.width) return "ErrorCode width differs";
  if (r.text != want.text)
    return "text \"" + r.text.substr(0, 60) + "\", whole body \"" + want.text.substr(0, 60) + "\"";
  if (r.stored_name != want.stored_name || r.replaced != want.replaced) return "stored name or replaced differs";
  if (r.platform_errno != want.platform_errno) return "errno differs";
  return "";
}

class PartWalkSandbox {
 public:
  using Listing = std::map<std::string, std::string>;

  std::string Compare(std::span<const std::uint8_t> body, const PartWalkCase& c,
                      const std::vector<std::size_t>& sizes) {
    const std::filesystem::path whole = Fresh("whole", c.occupied);
    const std::string walked = Fresh("walked", c.occupied).string();
    FirstOfEachName handler(c, walked);
    PartStreamOptions options;
    options.directory = "/nonexistent-default";  // every decision names its directory
    options.max_header_bytes = body.size() + 1;
    PartStreamOutcome outcome;
    {
      PartStream stream(options, &handler);
      handler.Attach(&stream);
      std::size_t done = 0;
      for (const std::size_t size : sizes) {
        stream.Feed(body.subspan(done, size));
        done += size;
        handler.DecideWaiting();
      }
      // The parts the body's end reports may still be decided late.
      stream.EndBody();
      handler.DecideWaiting();
      handler.FeedingEnds();
      outcome = stream.Finish(c.policy_in_decision ? std::nullopt : std::optional<ConflictPolicy>(c.policy));
    }
    if (!handler.broken().empty()) return handler.broken();
    if (outcome.status != PartStreamStatus::kOk) return "the walk did not end well";
    if (outcome.parts.size() != handler.parts().size()) return "outcomes and reported parts differ in number";
    // Under "overwrite" a later part may replace an earlier one's file.
    std::map<std::string, std::size_t> last_stored;
    for (std::size_t i = 0; i < outcome.parts.size(); ++i) {
      if (outcome.parts[i].result.ok()) last_stored[outcome.parts[i].result.stored_name] = i;
    }
    std::set<std::string> names;
    for (std::size_t i = 0; i < outcome.parts.size(); ++i) {
      const PartOutcome& got = outcome.parts[i];
      const std::string& name = handler.parts()[i].name;
      if (got.name != name || got.index != i) return "outcome " + std::to_string(i) + " is not that part's";
      const std::string where = "part " + std::to_string(i) + " (" + name.substr(0, 30) + "): ";
      if (!names.insert(name).second) {
        if (got.status != PartStatus::kSkipped) return where + "a repeated name was not skipped";
        continue;
      }
      const OperationResult want =
          c.read_values ? FormFieldValue(body, name) : FileSave(body, name, whole.string(), c.policy);
      if (!want.faulted() && (want.code == 101 || want.code == 102)) return where + "the operations do not find it";
      if (got.status == PartStatus::kLimitExceeded) {
        if (c.read_values && want.ok() && want.text.size() > c.value_cap) continue;
        return where + "limit exceeded, but no cap was passed";
      }
      if (got.status != PartStatus::kDone) return where + "not done";
      if (const std::string d = DifferenceOf(got.result, want); !d.empty()) return where + d;
      if (!c.read_values && got.result.ok() && last_stored[got.result.stored_name] == i) {
        const std::string stored = Read(std::filesystem::path(walked) / got.result.stored_name);
        if (handler.taps()[i] != stored) return where + "the tapped bytes are not the stored file's";
      }
    }
    return List(walked) == List(whole) ? "" : "the directories differ";
  }

  static Listing List(const std::filesystem::path& dir) {
    Listing entries;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
      const std::string name = entry.path().filename().string();
      entries[name] = entry.is_symlink(ignored) ? "<link>" : entry.is_directory(ignored) ? "<dir>" : Read(entry.path());
    }
    return entries;
  }

 private:
  static std::string Read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  std::filesystem::path Fresh(const char* name, const std::vector<std::string>& occupied) {
    const std::filesystem::path dir = temp_.path() / name;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    std::filesystem::create_directory(dir, ignored);
    for (const std::string& file : occupied) std::ofstream(dir / file, std::ios::binary) << "previous content";
    return dir;
  }

  testing::ScopedTempDir temp_;
};

}  // namespace zimrax::check

#endif  // ZIMRAX_TESTS_HARDENING_PART_WALK_EQUIVALENCE_H_
