// One PATCH of a resumable upload (or the data of a creation POST): its
// bytes appended to the staged data file under the upload's lock, checked
// against Upload-Checksum, synced when the server is durable before the new
// offset is told, and the file published through the core once the last
// byte is in. No socket in here: the connection reads and writes.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_EXCHANGE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_EXCHANGE_H_

#include <openssl/evp.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "server/body_exchange.h"
#include "server/descriptor_budget.h"
#include "server/refusal.h"
#include "server/serve_config.h"
#include "server/staging_store.h"
#include "server/tus_headers.h"
#include "server/upload_hooks.h"

namespace zimrax::zmfile {

struct PatchPlan {
  UploadRecord record;
  LockedUpload data;  // locked, its size `offset`
  std::uint64_t offset = 0;
  std::uint64_t body_length = 0;  // 0 when chunked
  bool chunked = false;           // Transfer-Encoding: chunked, read within the body limit
  // What a chunked body may add: to Upload-Length, or under a deferred
  // length to the staging cap or the size rule. Past it none of the body
  // is kept and `overrun` is answered, with `overrun_note` in the log.
  std::uint64_t room = std::numeric_limits<std::uint64_t>::max();
  Refusal overrun{413, "The data runs past Upload-Length."};
  std::string overrun_note;
  bool claimed = false;  // room claimed in the staging folder, dropped when the body ends
  std::optional<UploadChecksum> checksum;
  bool expects_continue = false;
  bool creation = false;  // a creation POST: 201 with Location
  std::string location;   // a creation's Location
};

class ResumableExchange final : public BodyExchange {
 public:
  // REQUIRES: `config` outlives the exchange.
  ResumableExchange(const ServeConfig& config, StagingStore store, PatchPlan plan);
  ~ResumableExchange() override;

  // The hooks its file meets once its last byte is in, and who sent this
  // request. Then Finish blocks while a pre-hook runs: run it off the I/O
  // threads. A pre-hook that reads the data gets a descriptor of its own,
  // taken from `budget`. REQUIRES: `hooks` and `budget` outlive the exchange.
  void SetHooks(UploadHooks* hooks, HookRequest request, DescriptorBudget* budget) {
    hooks_ = hooks;
    hook_request_ = std::move(request);
    budget_ = budget;
  }

  BodyFrame frame() const override { return BodyFrame{plan_.chunked, plan_.body_length}; }
  bool expects_continue() const override { return plan_.expects_continue; }
  void Feed(std::span<const std::uint8_t> piece) override;
  Reply Finish() override;
  // The bytes received stay, except under a checksum, which they could not
  // pass: those are dropped.
  void Abort() override;
  std::string_view WhatAbortKeeps() const override {
    return plan_.checksum ? "nothing kept (the checksum cannot pass)" : "the bytes received are kept for resuming";
  }
  // Ends the body as Abort() does, and answers `refusal`.
  Reply Refuse(Refusal refusal) override;

 private:
  // Cuts the data back to where this request began.
  void DropReceived();
  // Ends this request's claim on room in the staging folder, if any.
  void DropClaim();
  // Starts the writeback of the data written since the last start, up to
  // the offset `end`.
  void StartWriteback(std::uint64_t end);
  // Marks the publish, publishes the complete data and puts the outcome in
  // the record (not yet saved). Returns 0, or the errno value that kept the
  // publish from beginning.
  int Publish();
  // Saves a length this PATCH gave, and the outcome once published, while
  // the lock is held. Returns 0 or an errno value.
  int SaveProgress() const;
  // The last byte is in: the pre-hook's refusal (the upload is then
  // removed, with the log note in *note), or nullopt to publish. Fills
  // *facts for the post-hook.
  std::optional<Refusal> CheckWithHooks(FileFacts* facts, HookFields* fields, std::string* note);

  const ServeConfig& config_;
  const StagingStore store_;
  PatchPlan plan_;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> digest_;
  std::uint64_t received_ = 0;
  std::uint64_t written_back_ = 0;  // the offset writeback was last started up to
  int write_error_ = 0;
  bool overran_ = false;  // a chunked body ran past plan_.room: none of it is kept
  bool finished_ = false;
  std::string sha256_;  // of the published file, with --digest
  UploadHooks* hooks_ = nullptr;
  HookRequest hook_request_;
  DescriptorBudget* budget_ = nullptr;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_EXCHANGE_H_
