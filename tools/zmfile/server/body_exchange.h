// What a request body is read into: the connection reads the body, framed
// by length or chunked, and feeds it here piece by piece, then asks for the
// answer, tells that the client went away, or that the body broke its
// framing. A multipart upload and a resumable upload's PATCH are the kinds.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_BODY_EXCHANGE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_BODY_EXCHANGE_H_

#include <cstdint>
#include <span>
#include <string_view>

#include "server/refusal.h"
#include "server/reply.h"

namespace zimrax::zmfile {

// How the body of an accepted request comes.
struct BodyFrame {
  bool chunked = false;      // Transfer-Encoding: chunked; `length` is then 0
  std::uint64_t length = 0;  // the declared Content-Length
};

class BodyExchange {
 public:
  virtual ~BodyExchange() = default;
  // How the body comes: the connection reads that and no more.
  virtual BodyFrame frame() const = 0;
  // The client waits for "100 Continue" before it sends the body.
  virtual bool expects_continue() const = 0;
  // Takes the next piece of the (decoded) body.
  virtual void Feed(std::span<const std::uint8_t> piece) = 0;
  // Ends the body and makes the answer.
  virtual Reply Finish() = 0;
  // Ends the body early: the client went away.
  virtual void Abort() = 0;
  // What Abort() does with the body read so far, for the log.
  virtual std::string_view WhatAbortKeeps() const = 0;
  // Ends the body early, refused as `refusal` says (a chunked body that
  // breaks its framing or passes the limit), and makes the answer.
  virtual Reply Refuse(Refusal refusal) = 0;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_BODY_EXCHANGE_H_
