// The Location of a created upload behind a reverse proxy that forwards a
// sub-path: under the --public-url's path, so that any tus client's PATCH
// goes through the proxy to this server.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "server_process.h"
#include "tus_client.h"

namespace zimrax {
namespace {

namespace fs = std::filesystem;

struct LocationCase {
  std::vector<std::string> public_urls;
  std::string host;  // "" for the server's own address
  std::string data;  // sent with the creation when not empty
  std::string expected_prefix;
};

TEST(ServeResumableProxyTest, LocationIsUnderThePublicUrlsPath) {
  const std::vector<LocationCase> cases = {
      {{}, "", "", "/resumable/"},
      {{"http://files.example:8443/up"}, "files.example:8443", "", "/up/resumable/"},
      {{"http://files.example:8443/up"}, "files.example:8443", "abc", "/up/resumable/"},
      {{"http://files.example:8443/up"}, "", "", "/up/resumable/"},  // a proxy passing its own Host
      {{"https://files.example/a/b/"}, "FILES.example", "", "/a/b/resumable/"},
      {{"http://one.example/one", "http://two.example/two"}, "two.example", "", "/two/resumable/"},
      {{"http://one.example/one", "http://two.example/two"}, "", "", "/resumable/"},
  };
  for (const LocationCase& c : cases) {
    SCOPED_TRACE(c.host + " " + c.expected_prefix);
    testing::TempDir root;
    std::vector<std::string> args;
    for (const std::string& url : c.public_urls) args.insert(args.end(), {"--public-url", url});
    testing::ServerProcess server(root.path() / "uploads", args, root.path() / "server.log");
    ASSERT_TRUE(server.ok()) << server.Log();
    const int port = server.port();
    std::string request = "POST /resumable/ HTTP/1.1\r\n";
    request += c.host.empty() ? testing::HostLine(port) : "Host: " + c.host + "\r\n";
    request += "Tus-Resumable: 1.0.0\r\nUpload-Length: 3\r\nUpload-Metadata: filename " + testing::Base64("f.txt") +
               "\r\nContent-Length: " + std::to_string(c.data.size()) + "\r\n";
    if (!c.data.empty()) request += "Content-Type: application/offset+octet-stream\r\n";
    request += "Connection: close\r\n\r\n" + c.data;
    const testing::HttpAnswer answer = testing::ParseHttpAnswer(testing::RawExchange(port, request));
    ASSERT_EQ(answer.status, 201) << answer.body;
    const std::string location = answer.Header("Location");
    ASSERT_TRUE(location.starts_with(c.expected_prefix)) << location;
    // The server itself (past the proxy) knows the upload by its own path.
    const std::string own_path = "/resumable/" + location.substr(location.rfind('/') + 1);
    EXPECT_EQ(testing::Tus(port, "HEAD", own_path, {}).Header("Upload-Offset"), std::to_string(c.data.size()));
  }
}

}  // namespace
}  // namespace zimrax
