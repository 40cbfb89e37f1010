// What a hook is told beyond each file's facts (file_facts.h), gathered as
// the body streams by, beside the component: the form's value fields, and,
// for a pre-hook that reads them, a copy of each file's bytes. A second
// walk of the same pieces (the library's PartStream), made only when hooks
// are configured.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_FORM_TAP_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_FORM_TAP_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "zimrax/part_stream.h"

namespace zimrax::zmfile {

// The form's value fields kept for the hooks: at most this many, each at
// most kMaxHookFieldValue bytes (a longer one is kept with an empty value).
inline constexpr std::size_t kMaxHookFields = 32;
inline constexpr std::size_t kMaxHookFieldValue = 4 * 1024;

class HookFormTap {
 public:
  // `file_fields`: the names whose first part is a file the server stores.
  // With a `spool_dir`, each such file's bytes are copied into an unnamed
  // temporary file there (for a pre-hook that reads them), each copy first
  // asked of `may_open_spool` (the upload's descriptor budget), when set.
  // REQUIRES: max_first_line is the component's.
  HookFormTap(std::vector<std::string> file_fields, std::size_t max_first_line, std::string spool_dir,
              std::function<bool()> may_open_spool = {});
  ~HookFormTap();
  HookFormTap(const HookFormTap&) = delete;
  HookFormTap& operator=(const HookFormTap&) = delete;

  // Takes the next piece of the body, as the component gets it.
  void Feed(std::span<const std::uint8_t> piece);
  // Ends the body. Later calls do nothing.
  void Finish();

  // After Finish: a descriptor of the copy of `field`'s bytes, owned by the
  // tap; -1 without one (no spool, no room in the budget, or the copy failed).
  int DataFd(const std::string& field) const;
  // After Finish: the value fields (not file fields, no file name), in body order.
  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

 private:
  class Handler;

  std::unique_ptr<Handler> handler_;
  PartStream stream_;
  std::vector<std::pair<std::string, std::string>> fields_;
  bool finished_ = false;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_FORM_TAP_H_
