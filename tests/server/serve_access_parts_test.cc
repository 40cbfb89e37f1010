// The access pieces of zmfile serve on their own: base64 and Basic
// credentials, htpasswd parsing, the password checks and their cache, the
// bind decision, the TLS context and the user in the log line.
#include <crypt.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "base64.h"
#include "server/authenticator.h"
#include "server/basic_credentials.h"
#include "server/bind_policy.h"
#include "server/htpasswd_file.h"
#include "server/request_log.h"
#include "server/tls_context.h"
#include "server_process.h"

namespace zimrax::zmfile {
namespace {

namespace fs = std::filesystem;
using testing::CommandResult;
using testing::RunCommand;

std::string Basic(const std::string& user_colon_password) { return "Basic " + Base64Encode(user_colon_password); }

// A hash made by a tool users have: `htpasswd -nbB -C 4` (bcrypt, the
// lowest cost, to keep the test quick) or `openssl passwd -6`.
std::string BcryptByHtpasswd(const std::string& user, const std::string& password) {
  const std::string out = RunCommand({"htpasswd", "-nbB", "-C", "4", user, password}).out;
  const std::size_t colon = out.find(':');
  const std::size_t end = out.find('\n');
  return colon == std::string::npos ? "" : out.substr(colon + 1, end - colon - 1);
}

std::string ShaCryptByOpenssl(const std::string& password) {
  std::string out = RunCommand({"openssl", "passwd", "-6", password}).out;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// A hash made with libcrypt's own salt for `prefix` ("$y$", "$5$", "$2b$").
std::string HashByLibcrypt(const char* prefix, const std::string& password, unsigned long count = 0) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn(prefix, count, nullptr, 0, salt, sizeof salt) == nullptr) return "";
  crypt_data data{};
  const char* hash = crypt_rn(password.c_str(), salt, &data, sizeof data);
  return hash == nullptr ? "" : hash;
}

TEST(Base64DecodeTest, InvertsEncodeForEveryLengthAndByte) {
  std::mt19937 random(7);
  for (std::size_t size = 0; size < 200; ++size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xff);
    std::string decoded = "junk";
    ASSERT_TRUE(Base64Decode(Base64Encode(bytes), &decoded)) << size;
    EXPECT_EQ(decoded, bytes) << size;
  }
}

TEST(Base64DecodeTest, RefusesWhatIsNotStrictBase64) {
  const std::vector<std::pair<std::string, const char*>> cases = {
      {"", ""},          {"Zg==", "f"},          {"Zm8=", "fo"},          {"Zm9v", "foo"},
      {"Zg=", nullptr},  {"Zg", nullptr},        {"Z===", nullptr},       {"Zh==", nullptr},
      {"Zm9=", nullptr}, {"Zm9v YmFy", nullptr}, {"Zg==Zg==", nullptr},   {"Zm9v!A==", nullptr},
      {"-_8=", nullptr}, {"====", nullptr},      {"Zm9vYg\n==", nullptr},
  };
  for (const auto& [text, expected] : cases) {
    std::string decoded;
    const bool ok = Base64Decode(text, &decoded);
    EXPECT_EQ(ok, expected != nullptr) << "\"" << text << "\"";
    if (ok && expected != nullptr) {
      EXPECT_EQ(decoded, expected) << text;
    }
  }
}

TEST(BasicAuthorizationTest, ReadsUserAndPasswordOrNothing) {
  struct Case {
    std::string header;
    bool parsed;
    std::string user, password;
  };
  const std::string token = Base64Encode("ann:pass word");
  const std::vector<Case> cases = {
      {"Basic " + token, true, "ann", "pass word"},
      {"basic " + token, true, "ann", "pass word"},
      {"  BASIC \t" + token + "  ", true, "ann", "pass word"},
      {Basic("ann:p:w"), true, "ann", "p:w"},
      {Basic(":pw"), true, "", "pw"},
      {Basic("ann:"), true, "ann", ""},
      {Basic("\xc3\xa9l\xc3\xa8ve:\xe2\x82\xac"), true, "\xc3\xa9l\xc3\xa8ve", "\xe2\x82\xac"},
      {"Bearer " + token, false, "", ""},
      {"Basicx " + token, false, "", ""},
      {"Basic", false, "", ""},
      {"Basic ", false, "", ""},
      {token, false, "", ""},
      {Basic("annpw"), false, "", ""},
      {Basic(std::string("ann:p\0w", 7)), false, "", ""},
      {Basic(std::string("a\0n:pw", 6)), false, "", ""},
      {"Basic " + token.substr(1), false, "", ""},
      {"Basic " + token + " extra", false, "", ""},
  };
  for (const Case& c : cases) {
    const auto credentials = ParseBasicAuthorization(c.header);
    ASSERT_EQ(credentials.has_value(), c.parsed) << c.header;
    if (!c.parsed) continue;
    EXPECT_EQ(credentials->user, c.user) << c.header;
    EXPECT_EQ(credentials->password, c.password) << c.header;
  }
}

TEST(HtpasswdTest, KeepsStrongHashesAndNamesTheLineOfAnyOther) {
  const std::string bcrypt = BcryptByHtpasswd("ann", "pw");
  const std::string sha512 = ShaCryptByOpenssl("pw");
  const std::string sha256 = HashByLibcrypt("$5$", "pw");
  const std::string yescrypt = HashByLibcrypt("$y$", "pw");
  const std::string sha512_rounds = HashByLibcrypt("$6$", "pw", 6000);
  const std::string bcrypt_2b = HashByLibcrypt("$2b$", "pw", 4);
  ASSERT_TRUE(sha512_rounds.starts_with("$6$rounds=6000$")) << sha512_rounds;
  ASSERT_TRUE(bcrypt_2b.starts_with("$2b$04$")) << bcrypt_2b;
  ASSERT_TRUE(bcrypt.starts_with("$2y$04$")) << bcrypt;
  ASSERT_TRUE(sha512.starts_with("$6$")) << sha512;
  ASSERT_TRUE(sha256.starts_with("$5$")) << sha256;
  ASSERT_TRUE(yescrypt.starts_with("$y$")) << yescrypt;
  struct Case {
    std::string label;
    std::string text;
    std::vector<std::string> users;  // when accepted
    std::string error;               // a part of the error when refused
  };
  const std::string good = "ann:" + bcrypt + "\n";
  const std::vector<Case> cases = {
      {"every strong kind, comments, blanks, CRLF",
       "# users\n\nann:" + bcrypt + "\r\nbob:" + sha512 + "\n  \ncy:" + sha256 + "\ndee:" + yescrypt,
       {"ann", "bob", "cy", "dee"},
       ""},
      {"SHA-512-crypt with rounds, bcrypt $2b$", "eve:" + sha512_rounds + "\nfay:" + bcrypt_2b, {"eve", "fay"}, ""},
      {"SHA-512-crypt with a 17-byte salt",
       "bob:$6$abcdefghijklmnopq$" + sha512.substr(sha512.rfind('$') + 1),
       {},
       "cut short or malformed"},
      {"rounds without a number", "bob:$6$rounds=$" + sha512.substr(3), {}, "cut short or malformed"},
      {"bcrypt with a one-digit cost", "bob:$2y$4$" + bcrypt.substr(7), {}, "cut short or malformed"},
      {"Apache MD5 on line 3",
       good + "# x\nbob:$apr1$Vu2w1T8x$2vOYYx0Cq4b0y2JhHyAbK/\n",
       {},
       "f:3: user \"bob\" has an Apache MD5"},
      {"unsalted SHA-1", "bob:{SHA}W6ph5Mm5Pz8GgiULbPgzG37mj9g=\n", {}, "f:1: user \"bob\" has an unsalted SHA-1"},
      {"plain text", good + "bob:secret\n", {}, "f:2: user \"bob\""},
      {"DES crypt", "bob:rl0uE2ITj3Bqs\n", {}, "f:1: user \"bob\" has a DES crypt hash"},
      {"MD5-crypt", "bob:$1$abcdefgh$G//4keteveJcX1iQFY/Vv0\n", {}, "f:1: user \"bob\" has an MD5-crypt"},
      {"bcrypt prefix without a hash", "bob:$2y$\n", {}, "f:1: user \"bob\" has a hash that is cut short"},
      {"bcrypt cut by one",
       "bob:" + bcrypt.substr(0, bcrypt.size() - 1),
       {},
       "f:1: user \"bob\" has a hash that is cut"},
      {"SHA-512-crypt with a stray byte", "bob:" + sha512 + "x", {}, "cut short or malformed"},
      {"yescrypt cut", "bob:" + yescrypt.substr(0, 20), {}, "cut short or malformed"},
      {"empty hash", "bob:\n", {}, "f:1:"},
      {"no colon", good + good.substr(0, 3) + "\n", {}, "f:2: not a \"user:hash\" line"},
      {"empty user", ":" + bcrypt + "\n", {}, "f:1: the user name is empty"},
      {"user twice", good + "\n" + good, {}, "f:3: user \"ann\" is already given on line 1"},
      {"only comments", "# nobody\n", {}, ""},
  };
  for (const Case& c : cases) {
    const HtpasswdFile file = ParseHtpasswd(c.text, "f");
    if (c.error.empty()) {
      EXPECT_EQ(file.error, "") << c.label;
      std::vector<std::string> users;
      for (const HtpasswdEntry& entry : file.entries) users.push_back(entry.user);
      EXPECT_EQ(users, c.users) << c.label;
    } else {
      EXPECT_NE(file.error.find(c.error), std::string::npos) << c.label << ": " << file.error;
      if (file.error.find(" has ") != std::string::npos) {
        EXPECT_NE(file.error.find("htpasswd -B"), std::string::npos) << c.label << ": " << file.error;
      }
      EXPECT_TRUE(file.entries.empty()) << c.label << ": an error, yet " << file.entries.size() << " users";
    }
  }
}

TEST(HtpasswdTest, LoadRefusesAMissingOrEmptyFile) {
  testing::TempDir dir;
  EXPECT_NE(LoadHtpasswd((dir.path() / "none").string()).error.find("cannot be read"), std::string::npos);
  testing::WriteFileBytes(dir.path() / "empty", "# nobody yet\n");
  EXPECT_NE(LoadHtpasswd((dir.path() / "empty").string()).error.find("names no user"), std::string::npos);
}

class AuthenticatorTest : public ::testing::Test {
 protected:
  static std::vector<HtpasswdEntry> Users() {
    return {{"ann", BcryptByHtpasswd("ann", "ann's pw"), 1},
            {"bob", ShaCryptByOpenssl("bob:pw"), 2},
            {"dee", HashByLibcrypt("$y$", "d"), 3}};
  }
};

TEST_F(AuthenticatorTest, AllowsOnlyTheRightPasswordAndHashesForUnknownUsers) {
  Authenticator authenticator(Users());
  struct Case {
    std::string header;
    bool allowed;
    std::string user;
    std::string reason;  // part of it
    int hashes;          // crypt(3) calls the check costs
  };
  const std::vector<Case> cases = {
      {Basic("ann:ann's pw"), true, "ann", "", 1},
      {Basic("ann:ann's pw"), true, "ann", "", 0},  // cached
      {Basic("bob:bob:pw"), true, "bob", "", 1},
      {Basic("dee:d"), true, "dee", "", 1},
      {Basic("ann:ann's pW"), false, "ann", "wrong password for user \"ann\"", 1},
      {Basic("ann:ann's pW"), false, "ann", "wrong password", 1},  // failures are not cached
      {Basic("ann:"), false, "ann", "wrong password", 1},
      {Basic("Ann:ann's pw"), false, "Ann", "unknown user \"Ann\"", 1},
      {Basic("zed:ann's pw"), false, "zed", "unknown user", 1},
      {Basic("bob:ann's pw"), false, "bob", "wrong password", 1},
      {Basic("ann\n:x"), false, "ann\n", "unknown user \"ann\\x0a\"", 1},
      {"", false, "", "no credentials", 0},
      {"Bearer abc", false, "", "not valid Basic credentials", 0},
      {"Basic !!!!", false, "", "not valid Basic credentials", 0},
  };
  for (const Case& c : cases) {
    const std::uint64_t before = authenticator.hash_count();
    const AuthOutcome outcome = authenticator.Check(c.header);
    EXPECT_EQ(outcome.allowed, c.allowed) << c.header;
    EXPECT_EQ(outcome.user, c.user) << c.header;
    EXPECT_NE(outcome.reason.find(c.reason), std::string::npos) << c.header << ": " << outcome.reason;
    EXPECT_EQ(outcome.allowed, outcome.reason.empty()) << c.header;
    EXPECT_EQ(authenticator.hash_count() - before, static_cast<std::uint64_t>(c.hashes)) << c.header;
    EXPECT_EQ(outcome.reason.find("pw"), std::string::npos) << "password in the reason: " << outcome.reason;
    // The quick check agrees, and never hashes.
    const std::uint64_t quick_before = authenticator.hash_count();
    const auto quick = authenticator.CheckQuickly(c.header);
    EXPECT_EQ(authenticator.hash_count(), quick_before);
    if (quick) {
      EXPECT_EQ(quick->allowed, c.allowed) << c.header;
    }
    if (c.allowed) {
      EXPECT_TRUE(quick.has_value()) << "a success is cached: " << c.header;
    }
  }
}

TEST_F(AuthenticatorTest, CacheForgetsTheOldestAndExpires) {
  Authenticator small(Users(), 2);
  const std::vector<std::string> headers = {Basic("ann:ann's pw"), Basic("bob:bob:pw"), Basic("dee:d")};
  for (const std::string& header : headers) ASSERT_TRUE(small.Check(header).allowed);
  EXPECT_FALSE(small.CheckQuickly(headers[0]).has_value()) << "the oldest is evicted past 2 entries";
  EXPECT_TRUE(small.CheckQuickly(headers[1]).has_value());
  EXPECT_TRUE(small.CheckQuickly(headers[2]).has_value());

  Authenticator brief(Users(), 16, std::chrono::milliseconds(100));
  ASSERT_TRUE(brief.Check(headers[1]).allowed);
  EXPECT_TRUE(brief.CheckQuickly(headers[1]).has_value());
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(brief.CheckQuickly(headers[1]).has_value()) << "expired";
  const std::uint64_t before = brief.hash_count();
  EXPECT_TRUE(brief.Check(headers[1]).allowed);
  EXPECT_EQ(brief.hash_count(), before + 1);

  Authenticator none(Users(), 0);
  ASSERT_TRUE(none.Check(headers[1]).allowed);
  EXPECT_FALSE(none.CheckQuickly(headers[1]).has_value());
}

// Use renews a cached credential (so a sustained flood of other sign-ins
// cannot age out a user who keeps working), up to the absolute limit.
TEST_F(AuthenticatorTest, UseRenewsTheCacheUpToItsLife) {
  const std::string header = Basic("bob:bob:pw");
  Authenticator renewed(Users(), 16, std::chrono::milliseconds(400), std::chrono::milliseconds(1200));
  const auto checked = std::chrono::steady_clock::now();
  ASSERT_TRUE(renewed.Check(header).allowed);
  // Used every 200 ms, past the 400 ms of a single entry's time.
  for (int use = 1; use <= 5; ++use) {
    std::this_thread::sleep_until(checked + use * std::chrono::milliseconds(200));
    EXPECT_TRUE(renewed.CheckQuickly(header).has_value()) << "use " << use;
  }
  std::this_thread::sleep_until(checked + std::chrono::milliseconds(1300));
  EXPECT_FALSE(renewed.CheckQuickly(header).has_value()) << "past its life, whatever the use";
  EXPECT_EQ(renewed.hash_count(), 1u);
}

TEST_F(AuthenticatorTest, ThreadsShareTheCacheSafely) {
  Authenticator authenticator(Users(), 1);  // one entry: constant eviction under contention
  const std::vector<std::pair<std::string, bool>> headers = {
      {Basic("bob:bob:pw"), true}, {Basic("dee:d"), true}, {Basic("bob:wrong"), false}, {Basic("x:y"), false}};
  std::atomic<int> mistakes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        const auto& [header, allowed] = headers[static_cast<std::size_t>(t + i) % headers.size()];
        if (authenticator.Check(header).allowed != allowed) ++mistakes;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mistakes.load(), 0);
}

TEST(BindPolicyTest, LoopbackAddressesOnly) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"127.0.0.1", true}, {"127.9.8.7", true},         {"::1", true},          {"::ffff:127.0.0.1", true},
      {"localhost", true}, {"0.0.0.0", false},          {"::", false},          {"192.0.2.1", false},
      {"10.1.2.3", false}, {"::ffff:192.0.2.1", false}, {"2001:db8::1", false}, {"128.0.0.1", false},
  };
  for (const auto& [host, loopback] : cases) EXPECT_EQ(IsLoopbackHost(host), loopback) << host;
}

TEST(BindPolicyTest, BeyondLoopbackTakesUsersOrAnExplicitNoAuth) {
  struct Case {
    std::string host, htpasswd;
    bool no_auth;
    std::string cert, key;
    std::string refusal;  // part of it; "" when allowed
    bool warns;
  };
  const std::vector<Case> cases = {
      {"127.0.0.1", "", false, "", "", "", false},
      {"::1", "", false, "", "", "", false},
      {"0.0.0.0", "", false, "", "", "refusing to listen on 0.0.0.0 without authentication", false},
      {"::", "", false, "", "", "htpasswd -B -c FILE USER", false},
      {"192.0.2.1", "", false, "", "", "--no-auth", false},
      {"0.0.0.0", "users", false, "", "", "", false},
      {"0.0.0.0", "", true, "", "", "", true},
      {"127.0.0.1", "", true, "", "", "", false},
      {"0.0.0.0", "users", true, "", "", "contradict", false},
      {"127.0.0.1", "", false, "c.pem", "", "--tls-cert needs --tls-key", false},
      {"127.0.0.1", "", false, "", "k.pem", "--tls-key needs --tls-cert", false},
      {"0.0.0.0", "users", false, "c.pem", "k.pem", "", false},
  };
  for (const Case& c : cases) {
    ServeOptions options;
    options.host = c.host;
    options.htpasswd = c.htpasswd;
    options.no_auth = c.no_auth;
    options.tls_cert = c.cert;
    options.tls_key = c.key;
    const BindDecision decision = DecideBind(options);
    const std::string label = c.host + " " + c.htpasswd + (c.no_auth ? " --no-auth" : "") + " " + c.cert + c.key;
    if (c.refusal.empty()) {
      EXPECT_EQ(decision.refusal, "") << label;
    } else {
      EXPECT_NE(decision.refusal.find(c.refusal), std::string::npos) << label << ": " << decision.refusal;
    }
    EXPECT_EQ(!decision.warning.empty(), c.warns) << label;
  }
}

TEST(TlsContextTest, LoadsAMatchingPairWithModernSettingsAndNamesTheBadFile) {
  testing::TempDir dir;
  const auto make = [&](const std::string& name) {
    const CommandResult made =
        RunCommand({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-keyout", (dir.path() / (name + ".key")).string(), "-out", (dir.path() / (name + ".crt")).string(),
                    "-days", "2", "-subj", "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"});
    return made.exit_status == 0;
  };
  ASSERT_TRUE(make("a"));
  ASSERT_TRUE(make("b"));
  const std::string a_crt = (dir.path() / "a.crt").string(), a_key = (dir.path() / "a.key").string();
  const std::string b_key = (dir.path() / "b.key").string(), none = (dir.path() / "none").string();
  std::string error;
  const auto context = MakeTlsContext(a_crt, a_key, &error);
  ASSERT_NE(context, nullptr) << error;
  SSL_CTX* native = context->native_handle();
  EXPECT_EQ(SSL_CTX_get_min_proto_version(native), TLS1_2_VERSION);
  EXPECT_NE(SSL_CTX_get_options(native) & SSL_OP_NO_COMPRESSION, 0u);
  EXPECT_NE(SSL_CTX_get_options(native) & SSL_OP_NO_RENEGOTIATION, 0u);

  const std::vector<std::tuple<std::string, std::string, std::string>> bad = {
      {none, a_key, "--tls-cert " + none},
      {a_crt, none, "--tls-key " + none},
      {a_key, a_key, "--tls-cert " + a_key},
      {a_crt, a_crt, "--tls-key " + a_crt},
      {a_crt, b_key, "is not the key of the certificate"},
  };
  for (const auto& [cert, key, message] : bad) {
    error.clear();
    EXPECT_EQ(MakeTlsContext(cert, key, &error), nullptr) << cert << " " << key;
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
}

TEST(RequestLogTest, NamesTheUserEscaped) {
  LogFields fields;
  fields.method = "GET";
  fields.path = "/";
  fields.status = 200;
  EXPECT_EQ(FormatLogLine(fields, 0).find("user="), std::string::npos);
  fields.user = "ann";
  EXPECT_NE(FormatLogLine(fields, 0).find(" user=\"ann\""), std::string::npos);
  fields.user = "a\"\nb";
  const std::string line = FormatLogLine(fields, 0);
  EXPECT_NE(line.find(" user=\"a\\x22\\x0ab\""), std::string::npos) << line;
  EXPECT_EQ(line.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace zimrax::zmfile
