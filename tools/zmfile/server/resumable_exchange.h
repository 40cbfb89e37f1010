// One PATCH of a resumable upload (or the data of a creation POST): its
// bytes appended to the staged data file under the upload's lock, checked
// against Upload-Checksum, synced when the server is durable before the new
// offset is told, and the file published through the core once the last
// byte is in. No socket in here: the connection reads and writes.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_EXCHANGE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_EXCHANGE_H_

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "server/body_exchange.h"
#include "server/serve_config.h"
#include "server/staging_store.h"
#include "server/tus_headers.h"

namespace zimrax::zmfile {

struct PatchPlan {
  UploadRecord record;
  LockedUpload data;  // locked, its size `offset`
  std::uint64_t offset = 0;
  std::uint64_t body_length = 0;
  std::optional<UploadChecksum> checksum;
  bool expects_continue = false;
  bool creation = false;  // a creation POST: 201 with Location
};

class ResumableExchange final : public BodyExchange {
 public:
  // REQUIRES: `config` outlives the exchange.
  ResumableExchange(const ServeConfig& config, StagingStore store, PatchPlan plan);
  ~ResumableExchange() override;

  BodyFrame frame() const override { return BodyFrame{false, plan_.body_length}; }
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
  // Starts the writeback of the data written since the last start, up to
  // the offset `end`.
  void StartWriteback(std::uint64_t end);
  // Publishes the complete data and records the outcome.
  void Publish();
  // Saves a length this PATCH gave, and the outcome once published, while
  // the lock is held. Returns 0 or an errno value.
  int SaveProgress() const;

  const ServeConfig& config_;
  const StagingStore store_;
  PatchPlan plan_;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> digest_;
  std::uint64_t received_ = 0;
  std::uint64_t written_back_ = 0;  // the offset writeback was last started up to
  int write_error_ = 0;
  bool finished_ = false;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_EXCHANGE_H_
