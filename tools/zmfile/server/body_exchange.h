// What a request body is read into: the connection reads the declared
// length and feeds it here piece by piece, then asks for the answer, or
// tells that the client went away. A multipart upload and a resumable
// upload's PATCH are the two kinds.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_BODY_EXCHANGE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_BODY_EXCHANGE_H_

#include <cstdint>
#include <span>

#include "server/reply.h"

namespace zimrax::zmfile {

class BodyExchange {
 public:
  virtual ~BodyExchange() = default;
  // The body's declared length, which the connection reads and no more.
  virtual std::uint64_t body_length() const = 0;
  // The client waits for "100 Continue" before it sends the body.
  virtual bool expects_continue() const = 0;
  // Takes the next piece of the body.
  virtual void Feed(std::span<const std::uint8_t> piece) = 0;
  // Ends the body and makes the answer.
  virtual Reply Finish() = 0;
  // Ends the body early: the client went away.
  virtual void Abort() = 0;
  // What an early end leaves, for the log: "nothing stored" unless the
  // exchange keeps the bytes received.
  virtual const char* FateWhenCut() const { return "nothing stored"; }
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_BODY_EXCHANGE_H_
