// The tus request-header parsers alone: tables of accepted and refused
// texts, and base64 checked against OpenSSL's encoder by round trip.
#include "server/tus_headers.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

namespace zimrax::zmfile {
namespace {

TEST(TusHeadersTest, UploadNumbers) {
  struct Case {
    std::string text;
    std::optional<std::uint64_t> expected;
  };
  const std::vector<Case> cases = {
      {"0", 0},
      {"5242880", 5242880},
      {"00012", 12},
      {"9223372036854775807", kMaxUploadNumber},
      {"9223372036854775808", std::nullopt},  // one past what a file offset holds
      {"18446744073709551616", std::nullopt},  // wraps a 64-bit unsigned
      {"99999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1e3", std::nullopt},
      {"0x10", std::nullopt},
      {"1.0", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseUploadNumber(c.text), c.expected) << "'" << c.text << "'";
}

TEST(TusHeadersTest, Base64RoundTripsThroughOpenSslEncoder) {
  std::mt19937 random(28);
  for (std::size_t length = 0; length < 200; ++length) {
    std::string bytes(length, '\0');
    for (char& b : bytes) b = static_cast<char>(random() & 0xff);
    std::string encoded((length + 2) / 3 * 4 + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(length));
    encoded.resize(static_cast<std::size_t>(n));
    EXPECT_EQ(DecodeBase64(encoded), bytes) << "length " << length;
  }
}

TEST(TusHeadersTest, Base64RefusesWhatIsNotStrictBase64) {
  for (const std::string text : {"a", "abc", "ab=c", "a===", "ab c", "YQ==YQ==", "YQ!=", "Y\nQ=", "====", "-_-_"}) {
    EXPECT_EQ(DecodeBase64(text), std::nullopt) << "'" << text << "'";
  }
}

TEST(TusHeadersTest, UploadMetadata) {
  struct Case {
    std::string text;
    std::optional<UploadMetadata> expected;
  };
  const std::vector<Case> cases = {
      {"", UploadMetadata{}},
      {"filename cGhvdG8uanBn", UploadMetadata{{"filename", "photo.jpg"}}},
      // As tus-js-client sends it: no space after the comma.
      {"filename YS50eHQ=,filetype dGV4dC9wbGFpbg==",
       UploadMetadata{{"filename", "a.txt"}, {"filetype", "text/plain"}}},
      {"filename YS50eHQ=, conflict b3ZlcndyaXRl", UploadMetadata{{"filename", "a.txt"}, {"conflict", "overwrite"}}},
      {"is_confidential", UploadMetadata{{"is_confidential", ""}}},
      {"empty ,x eA==", UploadMetadata{{"empty", ""}, {"x", "x"}}},
      {"filename not-base64", std::nullopt},
      {"filename YS50eHQ", std::nullopt},  // unpadded
      {"filename YS50eHQ=,filename Yi50eHQ=", std::nullopt},  // a key twice
      {",filename YS50eHQ=", std::nullopt},  // an empty pair
      {"filename YS50eHQ=,", std::nullopt},
      {"filename  YS50eHQ=", std::nullopt},  // two spaces: the value is not base64
      {"filename YS50eHQ= extra", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseUploadMetadata(c.text), c.expected) << "'" << c.text << "'";
}

TEST(TusHeadersTest, UploadChecksum) {
  const std::string sha1_of_abc = "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=";
  const std::string sha256_of_abc = "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=";
  const auto sha1 = ParseUploadChecksum("sha1 " + sha1_of_abc);
  ASSERT_TRUE(sha1);
  EXPECT_EQ(sha1->algorithm, ChecksumAlgorithm::kSha1);
  EXPECT_EQ(sha1->digest, DecodeBase64(sha1_of_abc));
  const auto sha256 = ParseUploadChecksum("sha256 " + sha256_of_abc);
  ASSERT_TRUE(sha256);
  EXPECT_EQ(sha256->algorithm, ChecksumAlgorithm::kSha256);
  EXPECT_EQ(sha256->digest.size(), 32u);
  for (const std::string& text : std::vector<std::string>{"sha1", "sha1 ", "md5 " + sha1_of_abc, "SHA1 " + sha1_of_abc,
                                 "sha256 " + sha1_of_abc,  // a digest of the wrong length
                                 "sha1 " + sha256_of_abc, "sha1  " + sha1_of_abc, "sha1 " + sha1_of_abc + "x"}) {
    EXPECT_EQ(ParseUploadChecksum(text), std::nullopt) << "'" << text << "'";
  }
}

TEST(TusHeadersTest, TusResumable) {
  EXPECT_TRUE(IsSupportedTusResumable("1.0.0"));
  for (const char* text : {"", "0.2.2", "1.0", "1.0.0 ", "1.0.1"}) EXPECT_FALSE(IsSupportedTusResumable(text)) << text;
}

}  // namespace
}  // namespace zimrax::zmfile
