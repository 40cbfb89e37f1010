// One upload's exchange: its headers checked, its body pumped into the
// component (through UploadStream) as the connection reads it, and the
// answer made from what the component did. No socket in here: the
// connection reads and writes.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_EXCHANGE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_EXCHANGE_H_

#include <utility>  // before Boost.Beast: g++ 12 in C++20 mode needs it first

#include <boost/beast/http/fields.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "server/body_exchange.h"
#include "server/file_listing.h"
#include "server/reply.h"
#include "server/serve_config.h"
#include "server/unchosen_file_inputs.h"
#include "server/upload_report.h"
#include "server/upload_stream.h"

namespace zimrax::zmfile {

class UploadExchange final : public BodyExchange {
 public:
  // The upload page's list of the newest files, given the names just stored.
  using PageLister = std::function<Listing(const std::vector<std::string>& stored)>;

  // `may_open_file` gates each file's temporary (UploadLimits); `lister`
  // makes the list of an HTML answer (ListStoredFiles when null).
  // REQUIRES: `config` outlives the exchange.
  UploadExchange(const ServeConfig& config, bool wants_json, std::function<bool()> may_open_file = nullptr,
                 PageLister lister = nullptr)
      : config_(config), wants_json_(wants_json), may_open_file_(std::move(may_open_file)),
        lister_(std::move(lister)) {}
  UploadExchange(const UploadExchange&) = delete;
  UploadExchange& operator=(const UploadExchange&) = delete;
  ~UploadExchange() override;

  // Checks the upload's headers before any of its body is read. Returns
  // the refusal's answer, or nullopt when the body may be read: then
  // frame() and expects_continue() tell how.
  std::optional<Reply> Open(const boost::beast::http::fields& headers);
  BodyFrame frame() const override { return frame_; }
  // The client waits for "100 Continue" before it sends the body.
  bool expects_continue() const override { return expects_continue_; }

  // Takes the next piece of the body. REQUIRES: Open() gave nullopt.
  void Feed(std::span<const std::uint8_t> piece) override;
  // Ends the body, stores what the form holds and makes the answer.
  Reply Finish() override;
  // Ends the body without storing anything (the client went away).
  void Abort() override;
  std::string_view WhatAbortKeeps() const override { return "nothing stored"; }

  // Ends the body without storing anything, refused as `refusal` says (a
  // chunked body that breaks its framing or passes the limit), and makes
  // the answer.
  Reply Refuse(Refusal refusal) override;

  // The answer that tells `report`: JSON, or for a browser without script
  // a small page that also lists the newest files in `dir`.
  static Reply Answer(const UploadReport& report, bool wants_json, const std::string& dir,
                      const PageLister& lister = nullptr);

 private:
  const ServeConfig& config_;
  const bool wants_json_;
  std::function<bool()> may_open_file_;
  PageLister lister_;
  std::unique_ptr<UploadStream> stream_;
  std::optional<UnchosenFileInputs> unchosen_;
  BodyFrame frame_;
  bool expects_continue_ = false;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_EXCHANGE_H_
