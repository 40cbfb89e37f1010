// zmfile serve --config FILE, through the command's real option table: what
// a file sets, what the command line overrides, and the exact message (file,
// line, key) and exit status of each file that must stop the start.
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <cstdint>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "serve_command.h"
#include "support/run_process.h"
#include "support/scoped_temp_dir.h"

namespace zimrax::zmfile {
namespace {

struct Outcome {
  int exit_status = 0;
  std::string printed;  // standard error
  std::string message;  // of the exception, "" when the parse went through
  ServeOptions options;
};

// Parses `zmfile serve --config FILE ARGS...` with FILE holding `toml`,
// the server itself left out.
Outcome Parse(const testing::ScopedTempDir& dir, const std::string& toml, const std::vector<std::string>& args) {
  const std::string path = dir.Path("serve.toml");
  testing::WriteFile(path, toml);
  CLI::App app;
  int exit_status = 0;
  auto options = std::make_shared<ServeOptions>();
  AddServeCommandFilling(app, exit_status, options)->callback([] {});
  std::vector<std::string> argv = {"serve", "--config", path};
  argv.insert(argv.end(), args.begin(), args.end());
  Outcome outcome;
  std::ostringstream printed;
  std::streambuf* const saved = std::cerr.rdbuf(printed.rdbuf());
  try {
    app.parse(std::vector<std::string>(argv.rbegin(), argv.rend()));
  } catch (const CLI::Error& error) {
    outcome.exit_status = error.get_exit_code();
    outcome.message = error.what();
  }
  std::cerr.rdbuf(saved);
  outcome.printed = printed.str();
  outcome.options = *options;
  return outcome;
}

std::string Replaced(std::string text, const std::string& what, const std::string& with) {
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
  return text;
}

// 40 keys, each an inline table: a fault on every line.
std::string ManyTables() {
  std::string toml;
  for (int key = 0; key < 40; ++key) toml += "k" + std::to_string(key) + " = {a = 1}\n";
  return toml;
}

TEST(ZmfileServeConfigTest, FileSetsWhatTheCommandLineLeavesUnset) {
  const ServeOptions defaults;
  const struct {
    const char* name;
    std::string toml;
    std::vector<std::string> args;
    void (*check)(const ServeOptions&);
  } kCases[] = {
      {"empty file",
       "",
       {},
       [](const ServeOptions& o) {
         const ServeOptions d;
         EXPECT_EQ(o.port, d.port);
         EXPECT_EQ(o.dir, d.dir);
         EXPECT_EQ(o.max_body, d.max_body);
         EXPECT_EQ(o.fsync, d.fsync);
         EXPECT_TRUE(o.public_urls.empty());
         EXPECT_TRUE(o.config_origins.empty());
       }},
      {"each kind of value",
       "# a comment\nport = 9001\ndir = 'up'\nmax-body = \"2M\"\nfsync = false\ntrust-proxy = true\n"
       "public-url = [\"http://a.example/\",\n  \"http://b.example/\"]\nsweep-min-age = 600\n",
       {},
       [](const ServeOptions& o) {
         EXPECT_EQ(o.port, 9001);
         EXPECT_EQ(o.dir, "up");
         EXPECT_EQ(o.max_body, 2u << 20);
         EXPECT_FALSE(o.fsync);
         EXPECT_TRUE(o.trust_proxy);
         EXPECT_EQ(o.public_urls, (std::vector<std::string>{"http://a.example/", "http://b.example/"}));
         EXPECT_EQ(o.sweep_min_age, 600);
         EXPECT_EQ(o.config_origins.at("--port").substr(o.config_origins.at("--port").rfind('/')),
                   "/serve.toml:2: port");
         EXPECT_TRUE(o.config_origins.at("--public-url").ends_with(":7: public-url"));
       }},
      {"a repeatable option as one string",
       "public-url = \"http://a.example/\"\n",
       {},
       [](const ServeOptions& o) { EXPECT_EQ(o.public_urls, std::vector<std::string>{"http://a.example/"}); }},
      {"an empty array sets nothing",
       "public-url = []\n",
       {},
       [](const ServeOptions& o) { EXPECT_TRUE(o.public_urls.empty()); }},
      {"the command line wins",
       "port = 9001\nconflict = \"overwrite\"\nmax-body = \"2M\"\n",
       {"--port", "9002", "--max-body", "3M"},
       [](const ServeOptions& o) {
         EXPECT_EQ(o.port, 9002);
         EXPECT_EQ(o.max_body, 3u << 20);
         EXPECT_EQ(o.conflict, "overwrite");
         EXPECT_FALSE(o.config_origins.contains("--port"));
       }},
      {"the command line's list replaces the file's",
       "public-url = [\"http://a.example/\", \"http://b.example/\"]\n",
       {"--public-url", "http://c.example/"},
       [](const ServeOptions& o) { EXPECT_EQ(o.public_urls, std::vector<std::string>{"http://c.example/"}); }},
      {"the command line's flag wins over the file's opposite",
       "fsync = true\n",
       {"--no-fsync"},
       [](const ServeOptions& o) { EXPECT_FALSE(o.fsync); }},
      {"a flag set false",
       "trust-proxy = false\nallow-delete = false\n",
       {},
       [](const ServeOptions& o) {
         EXPECT_FALSE(o.trust_proxy);
         EXPECT_FALSE(o.allow_delete);
       }},
      {"options with units",
       "resumable-expiry = \"2h\"\nresumable-max-staging = \"3G\"\n",
       {},
       [](const ServeOptions& o) {
         EXPECT_EQ(o.resumable_expiry, 7200);
         EXPECT_EQ(o.resumable_max_staging, std::uint64_t{3} << 30);
       }},
      {"no-fsync from the file", "no-fsync = true\n", {}, [](const ServeOptions& o) { EXPECT_FALSE(o.fsync); }},
      {"a byte order mark and CRLF lines",
       "\xEF\xBB\xBFport = 9003\r\nhost = \"::1\"\r\n",
       {},
       [](const ServeOptions& o) {
         EXPECT_EQ(o.port, 9003);
         EXPECT_EQ(o.host, "::1");
       }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    testing::ScopedTempDir dir;
    const Outcome outcome = Parse(dir, c.toml, c.args);
    ASSERT_EQ(outcome.message, "");
    EXPECT_EQ(outcome.printed, "");
    c.check(outcome.options);
  }
  EXPECT_TRUE(defaults.fsync);  // the flag cases above would pass on a default of false
}

TEST(ZmfileServeConfigTest, FaultsStopTheStartNamingFileLineAndKey) {
  const struct {
    const char* name;
    std::string toml;
    std::vector<std::string> args;
    std::string message;  // after "zmfile serve: "; FILE stands for the file's path
  } kCases[] = {
      {"unknown key", "port = 1\nprot = 2\n", {}, "FILE:2: prot: unknown key: zmfile serve has no option --prot"},
      {"underscores for dashes",
       "max_body = \"1G\"\n",
       {},
       "FILE:1: max_body: unknown key: zmfile serve has no option --max_body (did you mean max-body?)"},
      {"a key with a line break, printed on one line",
       "\"a\\nb\" = 1\n",
       {},
       "FILE:1: a\\x0ab: unknown key: zmfile serve has no option --a\\x0ab"},
      {"the help flag", "help = true\n", {}, "FILE:1: help: unknown key: zmfile serve has no option --help"},
      {"--config itself", "config = \"other.toml\"\n", {}, "FILE:1: config: can be given on the command line only"},
      {"a flag given a string", "fsync = \"no\"\n", {}, "FILE:1: fsync: a flag takes true or false"},
      {"a flag given a number", "trust-proxy = 1\n", {}, "FILE:1: trust-proxy: a flag takes true or false"},
      {"a value given a boolean", "port = true\n", {}, "FILE:1: port: takes a value, not true or false"},
      {"a text option given a number", "\n\ndir = 5\n", {}, "FILE:3: dir: takes a string (in quotes), not a number"},
      {"an array for a single value",
       "port = [1, 2]\n",
       {},
       "FILE:1: port: takes one value, not an array (only a repeatable option takes one)"},
      {"a table",
       "port = 1\n[serve]\nport = 2\n",
       {},
       "FILE:2: serve: a table: settings are keys at the top of the file, outside any [section]"},
      {"the first of many faults by line",
       ManyTables(),
       {},
       "FILE:1: k0: a table: settings are keys at the top of the file, outside any [section]"},
      {"a dotted key",
       "max.body = 1\n",
       {},
       "FILE:1: max: a table: settings are keys at the top of the file, outside any [section]"},
      {"a date", "port = 1979-05-27\n", {}, "FILE:1: port: a date or time: no option takes one"},
      {"an array of arrays",
       "public-url = [\n  [\"http://a/\"]]\n",
       {},
       "FILE:2: public-url: an array inside an array: no option takes one"},
      {"a range validator", "port = 70000\n", {}, "FILE:1: port: Value 70000 not in range 0 to 65535"},
      {"a negative size", "max-body = -1\n", {}, "FILE:1: max-body: Value -1 not in range 1 to 1152921504606846976"},
      {"a member validator", "conflict = \"nope\"\n", {}, "FILE:1: conflict: nope not in {error,overwrite,makeunique}"},
      {"fsync with no-fsync",
       "fsync = true\ndir = \"x\"\nno-fsync = true\n",
       {},
       "FILE:3: no-fsync: cannot be set together with fsync (line 1)"},
      {"a bad value the command line does not hide",
       "port = 70000\n",
       {"--host", "127.0.0.1"},
       "FILE:1: port: Value 70000 not in range 0 to 65535"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    testing::ScopedTempDir dir;
    const Outcome outcome = Parse(dir, c.toml, c.args);
    const std::string expected = "zmfile serve: " + Replaced(c.message, "FILE", dir.Path("serve.toml"));
    EXPECT_EQ(outcome.exit_status, 2);
    EXPECT_EQ(outcome.message, expected);
    EXPECT_EQ(outcome.printed, expected + "\n");
  }
}

// Files the TOML reader refuses: the message has the file and the line the
// parser stopped at; its wording is the parser's.
TEST(ZmfileServeConfigTest, FilesThatAreNotTomlStopTheStartAtTheirLine) {
  const struct {
    const char* name;
    std::string toml;
    std::string start;  // the message's start; FILE stands for the path
  } kCases[] = {
      {"a key twice", "port = 1\nport = 2\n", "FILE:2: value (\"port\") already exists."},
      {"not UTF-8", "port = 1\ndir = \"up\xff\"\n", "FILE:2: not UTF-8 text (byte 19 of the file)"},
      {"not UTF-8 in a multi-line literal", "port = 1\ndir = \'\'\'\nup\xc0\x80\'\'\'\n",
       "FILE:3: not UTF-8 text (byte 22 of the file)"},
      {"a surrogate in UTF-8's form", "dir = \"\xed\xa0\x80\"\n", "FILE:1: not UTF-8 text (byte 8 of the file)"},
      {"not UTF-8 in a comment", "port = 1 # \xfe\n", "FILE:1: not UTF-8 text (byte 12 of the file)"},
      {"binary", std::string("port = 1\n\0\x01\x02\x7f", 13), "FILE:2: "},
      {"two values on a line", "port = 80 80\n", "FILE:1: "},
      {"nested too deeply", "port = 1\npublic-url = " + std::string(9, '[') + std::string(9, ']') + "\n",
       "FILE:2: arrays or inline tables nested deeper than 8"},
      {"nested to the stack's end", "x = " + std::string(60000, '['), "FILE:1: arrays or inline tables nested deeper"},
      {"larger than 64 KiB", std::string((64 << 10) + 1, '#'), "FILE: larger than 64 KiB: not a config file"},
      {"more than 1000 values", "port = 1\n\npublic-url = [" + std::string(999, ',') + "]\n",
       "FILE:3: more than 1000 values: not a config file"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    testing::ScopedTempDir dir;
    const Outcome outcome = Parse(dir, c.toml, {});
    const std::string start = "zmfile serve: " + Replaced(c.start, "FILE", dir.Path("serve.toml"));
    EXPECT_EQ(outcome.exit_status, 2);
    EXPECT_EQ(outcome.message.substr(0, start.size()), start) << outcome.message;
    EXPECT_EQ(outcome.message.find('\n'), std::string::npos) << outcome.message;
  }
}

TEST(ZmfileServeConfigTest, AFileOfExactlyTheLimitIsRead) {
  testing::ScopedTempDir dir;
  std::string toml = "port = 9004\n";
  toml.resize(std::size_t{64} << 10, '#');
  const Outcome outcome = Parse(dir, toml, {});
  EXPECT_EQ(outcome.message, "");
  EXPECT_EQ(outcome.options.port, 9004);
}

TEST(ZmfileServeConfigTest, MissingFileOrDirectoryStopsTheStart) {
  testing::ScopedTempDir dir;
  for (const auto& [path, why] :
       {std::pair{dir.Path("none.toml"), ": No such file or directory"}, std::pair{dir.Path(), ": is a directory"}}) {
    CLI::App app;
    int exit_status = 0;
    AddServeCommandFilling(app, exit_status, std::make_shared<ServeOptions>())->callback([] {});
    std::ostringstream printed;
    std::streambuf* const saved = std::cerr.rdbuf(printed.rdbuf());
    int status = 0;
    try {
      app.parse(std::vector<std::string>{path, "--config", "serve"});
    } catch (const CLI::Error& error) {
      status = error.get_exit_code();
    }
    std::cerr.rdbuf(saved);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(printed.str(), "zmfile serve: " + path + why + "\n");
  }
}

// Settings that only the server can judge together, refused at start by
// the real zmfile: the message names where the file set the option.
TEST(ZmfileServeConfigTest, ServerRefusalsNameTheFileLineAndKeyTheySetIn) {
  const struct {
    const char* name;
    std::string toml;
    std::vector<std::string> args;
    std::string message;  // the whole standard error; <path> stands for the path
  } kCases[] = {
      {"a certificate without its key",
       "port = 0\ntls-cert = \"cert.pem\"\n",
       {},
       "zmfile serve: <path>:2: tls-cert: --tls-cert needs --tls-key (the certificate's private key)\n"},
      {"a key without its certificate",
       "port = 0\n\ntls-key = \"key.pem\"\n",
       {},
       "zmfile serve: <path>:3: tls-key: --tls-key needs --tls-cert (the certificate it belongs to)\n"},
      {"users and no authentication",
       "htpasswd = \"users\"\nno-auth = true\n",
       {},
       "zmfile serve: <path>:2: no-auth: --htpasswd and --no-auth contradict each other: give one\n"},
      {"an address beyond loopback without users",
       "host = \"0.0.0.0\"\npublic-url = \"http://files.example.org/\"\n",
       {},
       "zmfile serve: <path>:1: host: refusing to listen on 0.0.0.0 without authentication: anyone who can reach it "
       "could upload and download files. Give --htpasswd FILE (make one with `htpasswd -B -c FILE USER`), listen on "
       "127.0.0.1, or, behind a proxy that authenticates, say --no-auth\n"},
      {"deletes beyond loopback without users",
       "host = \"0.0.0.0\"\npublic-url = \"http://files.example.org/\"\nno-auth = true\nallow-delete = true\n",
       {},
       "zmfile serve: <path>:4: allow-delete: refusing --allow-delete on 0.0.0.0 without --htpasswd: anyone who can "
       "reach it could delete the stored files\n"},
      {"the command line's half is not the file's",
       "port = 0\n",
       {"--tls-cert", "cert.pem"},
       "zmfile serve: --tls-cert needs --tls-key (the certificate's private key)\n"},
      {"a form policy that does not parse",
       "client-conflict = \"error,sometimes\"\n",
       {},
       "zmfile serve: <path>:1: client-conflict: --client-conflict error,sometimes: \"sometimes\" is not a policy "
       "(name one or more of error, overwrite, makeunique, separated by commas)\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    testing::ScopedTempDir dir;
    const std::string path = dir.Path("serve.toml");
    testing::WriteFile(path, c.toml);
    std::vector<std::string> args = {"serve", "--config", path, "--dir", dir.Path("uploads")};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const testing::ProcessResult result = testing::RunZmfile(args);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.err, Replaced(c.message, "<path>", path));
    EXPECT_EQ(result.out, "");
  }
}

}  // namespace
}  // namespace zimrax::zmfile
