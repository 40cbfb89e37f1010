// Sends an answer's head and then a run of an open file's bytes over one
// connection: with sendfile(2) on a plain socket, so that the file's bytes
// never pass through user space, and copied through the stream over TLS.
// Beast has no sendfile path, hence this loop of its own on the socket.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_SENDER_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_SENDER_H_

#include <utility>  // before Boost.Asio: g++ 12 in C++20 mode needs it first

#include <boost/system/error_code.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/file_listing.h"
#include "server/session_stream.h"

namespace zimrax::zmfile {

class FileSender : public std::enable_shared_from_this<FileSender> {
 public:
  // Called when the sender is about to wait for the client after it took
  // some bytes: the send timeout counts from there.
  using Progress = std::function<void()>;
  // Called once at the end: no error once head and bytes were all sent.
  using Done = std::function<void(const boost::system::error_code& error)>;

  // Sends `head` (a serialized answer head), then `length` bytes of `file`
  // from `offset`, and calls `done`. The sender keeps itself and the file
  // alive until then; closing the socket ends it with an error. A file
  // that ends before offset + length ends it with an error too (the
  // promised length cannot be kept). All calls run on the stream's executor.
  // The first plain send sets SIGPIPE to be ignored in the process, as
  // sendfile() cannot be told not to raise it.
  // REQUIRES: `stream` outlives the send; no other write on it meanwhile.
  static void Start(SessionStream& stream, std::string head, OpenedFile file, std::uint64_t offset,
                    std::uint64_t length, Progress progress, Done done);

  FileSender(SessionStream& stream, std::string head, OpenedFile file, std::uint64_t offset, std::uint64_t length,
             Progress progress, Done done);

 private:
  void SendPlain();
  void WaitWritable();
  void SendTls();
  void Finish(const boost::system::error_code& error);

  SessionStream& stream_;
  std::string head_;
  std::size_t head_sent_ = 0;
  OpenedFile file_;
  std::uint64_t offset_;
  std::uint64_t remaining_;
  bool progressed_ = false;  // bytes went out since progress_ was last called
  Progress progress_;
  Done done_;
  std::vector<char> chunk_;  // the TLS path's copy of the file's bytes
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_SENDER_H_
