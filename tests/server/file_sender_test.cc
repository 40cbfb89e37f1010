// The download's send loop on a real loopback connection: the head and
// the exact run of the file's bytes, through a client that first takes
// nothing (so the loop must wait for the socket), and an error, not a
// short answer passed off as whole, when the file ends early.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <boost/asio.hpp>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "server/download_answer.h"
#include "server/file_listing.h"
#include "server/file_sender.h"
#include "server/session_stream.h"
#include "server_process.h"

namespace zimrax::zmfile {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

struct SendOutcome {
  std::string received;
  std::optional<boost::system::error_code> error;  // what the sender ended with
  int progress_calls = 0;
};

// Sends `length` bytes of `path` from `first` after `head` to a client that
// waits `client_delay` before reading everything until the close.
SendOutcome SendOverLoopback(const std::filesystem::path& path, const std::string& head, std::uint64_t first,
                             std::uint64_t length, std::chrono::milliseconds client_delay) {
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  SendOutcome outcome;
  std::thread client([&, port = acceptor.local_endpoint().port()] {
    const int fd = testing::ConnectFrom("127.0.0.1", port);
    int small = 65536;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::this_thread::sleep_for(client_delay);
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) outcome.received.append(buffer, n);
    ::close(fd);
  });
  SessionStream stream(acceptor.accept(), nullptr);
  const int small = 65536;
  ::setsockopt(stream.socket().native_handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  FileSender::Start(stream, head, OpenStoredFile(path.parent_path().string(), path.filename().string()), first, length,
                    [&] { ++outcome.progress_calls; },
                    [&](const boost::system::error_code& error) {
                      outcome.error = error;
                      stream.socket().close();
                    });
  io.run();
  client.join();
  return outcome;
}

TEST(FileSenderTest, SendsHeadAndTheExactRunThroughASlowClient) {
  testing::TempDir root;
  const std::string bytes = testing::RandomBytes(3 << 20, 7);
  testing::WriteFileBytes(root.path() / "data.bin", bytes);
  const SendOutcome outcome =
      SendOverLoopback(root.path() / "data.bin", "HEAD\r\n\r\n", 12345, 2 << 20, std::chrono::milliseconds(300));
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_FALSE(*outcome.error) << outcome.error->message();
  ASSERT_EQ(outcome.received.size(), 8u + (2 << 20));
  EXPECT_EQ(outcome.received.substr(0, 8), "HEAD\r\n\r\n");
  EXPECT_TRUE(outcome.received.substr(8) == bytes.substr(12345, 2 << 20));
  // Small socket buffers: the loop waited for the client more than once.
  EXPECT_GT(outcome.progress_calls, 2);
}

TEST(FileSenderTest, AFileShorterThanPromisedEndsWithAnError) {
  testing::TempDir root;
  testing::WriteFileBytes(root.path() / "short.bin", std::string(1000, 'x'));
  const SendOutcome outcome =
      SendOverLoopback(root.path() / "short.bin", "H\r\n\r\n", 900, 500, std::chrono::milliseconds(0));
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_TRUE(*outcome.error);
  EXPECT_EQ(outcome.received, "H\r\n\r\n" + std::string(100, 'x'));
}

TEST(FileSenderTest, SerializedHeadEndsWithTheBlankLine) {
  boost::beast::http::response<boost::beast::http::empty_body> head{boost::beast::http::status::partial_content, 11};
  head.set(boost::beast::http::field::content_range, "bytes 0-0/1");
  head.content_length(1);
  EXPECT_EQ(SerializedHead(head), "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-0/1\r\nContent-Length: 1\r\n\r\n");
}

}  // namespace
}  // namespace zimrax::zmfile
