// Hooks of a running `zmfile serve`, with small scripts as hooks and a
// loopback HTTP receiver: what a pre-hook's answer (or its timeout, crash
// or flood of output) does to a file, what a hook is told compared with
// what was stored, a failing post-hook, a flood of post-hook notices, and
// the I/O thread left free while a hook runs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "hook_receiver.h"
#include "server_process.h"
#include "tus_client.h"

namespace zimrax::zmfile {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
using testing::FormPart;
using testing::HookReceiver;
using testing::HttpAnswer;
using testing::ReceiverAnswer;
using testing::ServerProcess;
using testing::TempDir;

constexpr const char* kBoundary = "hooksBoundary7Kd2";

// An executable shell script `name` in `dir` holding `body`.
std::string Script(const fs::path& dir, const std::string& name, const std::string& body) {
  const fs::path path = dir / name;
  testing::WriteFileBytes(path, "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
  return path.string();
}

HttpAnswer Upload(const ServerProcess& server, const std::vector<FormPart>& parts) {
  const std::string body = testing::MultipartBody(kBoundary, parts);
  return testing::ParseHttpAnswer(
      testing::RawExchange(server.port(), testing::UploadRequest(server.port(), kBoundary, body), 60));
}

// The names in `dir`, hidden ones (the component's temporaries) included.
std::set<std::string> Names(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

std::string Sha256Sum(const fs::path& file) {
  return testing::RunCommand({"sha256sum", file.string()}).out.substr(0, 64);
}

struct PreHookCase {
  const char* what;
  std::string script;
  int status;
  const char* message;     // the answer's message for the file (a prefix)
  const char* log_reason;  // in the server's log ("" for none expected)
  bool stored;
};

TEST(ServeHooksTest, PreHookDecidesEachFileBeforeItIsPublished) {
  const PreHookCase kCases[] = {
      {"accept", "cat >/dev/null; exit 0", 200, "Stored as a.txt.", "", true},
      {"refuse with a message", "echo 'No text files, please.' >&2; echo more >&2; exit 1", 403,
       "No text files, please.", "pre-hook refused upload1 \"a.txt\" (exit 1): No text files, please.", false},
      {"refuse without a message", "exit 7", 403, "The server's check refused this file.",
       "pre-hook refused upload1 \"a.txt\" (exit 7)", false},
      {"time out", "exec sleep 30", 403, "The server's check of this file did not complete (timed out after 1 s)",
       "(timed out after 1 s)", false},
      {"crash", "kill -SEGV $$", 403, "The server's check of this file did not complete (killed by signal 11",
       "(killed by signal 11", false},
      {"print 10 MB and accept", "head -c 10485760 /dev/zero; head -c 10485760 /dev/zero >&2; exit 0", 200,
       "Stored as a.txt.", "", true},
      {"print 10 MB and refuse",
       "head -c 10485760 /dev/zero; (echo 'too long'; head -c 10485760 /dev/zero) >&2; exit 1", 403, "too long",
       "(exit 1): too long", false},
  };
  for (const PreHookCase& c : kCases) {
    SCOPED_TRACE(c.what);
    TempDir dir, scripts;
    const std::string hook = Script(scripts.path(), "pre", c.script);
    ServerProcess server(dir.path(), {"--hook-pre", hook, "--hook-timeout", "1", "--no-fsync"}, scripts.path() / "log");
    ASSERT_TRUE(server.ok()) << server.Log();
    const auto start = Clock::now();
    const HttpAnswer answer = Upload(server, {{"upload1", "three", true, "a.txt"}});
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(answer.status, c.status) << answer.body;
    const Json json = Json::parse(answer.body, nullptr, false);
    ASSERT_TRUE(json.is_object()) << answer.body;
    const Json& file = json["Files"][0];
    EXPECT_TRUE(file["Message"].get<std::string>().starts_with(c.message)) << file.dump();
    if (c.status == 403) {
      EXPECT_EQ(file["RefusedKind"], "hook") << file.dump();
    }
    // Nothing of a refused file is left, not even a temporary.
    EXPECT_EQ(Names(dir.path()), c.stored ? std::set<std::string>{"a.txt"} : std::set<std::string>{});
    EXPECT_EQ(server.Interrupt(), 0);
    const std::string log = server.Log();
    if (*c.log_reason != '\0') {
      EXPECT_NE(log.find(c.log_reason), std::string::npos) << log;
    }
    if (c.status == 403) {
      EXPECT_NE(log.find(" 403 "), std::string::npos) << log;
    }
  }
}

TEST(ServeHooksTest, HttpPreHookRefusesOneFileAndTheOthersGoOn) {
  // Refuses any document that names an .exe, with the body's first line as the message.
  HookReceiver receiver([](int, const std::string& body) {
    const Json document = Json::parse(body, nullptr, false);
    const bool exe = document.is_object() && document["StoredName"].get<std::string>().ends_with(".exe");
    return exe ? ReceiverAnswer{403, "Programs are not accepted.\nsecond line"} : ReceiverAnswer{200, "ok"};
  });
  TempDir dir, work;
  ServerProcess server(dir.path(), {"--hook-pre", receiver.Url("/pre"), "--no-fsync"}, work.path() / "log");
  ASSERT_TRUE(server.ok()) << server.Log();
  const HttpAnswer answer = Upload(server, {{"upload1", "notes", true, "notes.txt"},
                                            {"upload2", "MZ\x90", true, "setup.exe"},
                                            {"upload3", "more", true, "more.txt"}});
  EXPECT_EQ(answer.status, 403) << answer.body;
  const Json json = Json::parse(answer.body, nullptr, false);
  ASSERT_TRUE(json.is_object()) << answer.body;
  EXPECT_EQ(json["Files"][0]["Result"], "notes.txt");
  EXPECT_EQ(json["Files"][1]["Message"], "Programs are not accepted.");
  EXPECT_EQ(json["Files"][2]["Result"], "more.txt");
  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"notes.txt", "more.txt"}));
  EXPECT_EQ(receiver.count(), 3);
  EXPECT_EQ(server.Interrupt(), 0);
  // The request's log line gives the refused file's reason, not a stored one's.
  EXPECT_NE(server.Log().find("reason=\"Programs are not accepted.\""), std::string::npos) << server.Log();
}

TEST(ServeHooksTest, WhatTheHooksAreToldIsWhatWasStored) {
  TempDir dir, work;
  const fs::path seen = work.path() / "seen";
  fs::create_directory(seen);
  // Each hook keeps its document under the stored name it was given.
  const std::string pre = Script(work.path(), "pre", "cat > \"$1/pre-$ZMFILE_STORED_NAME.json\"");
  // (Written whole, then named: the test reads it once the name is there.)
  const std::string post =
      Script(work.path(), "post", "cat > \"$1/.part-$$\" && mv \"$1/.part-$$\" \"$1/post-$ZMFILE_STORED_NAME.json\"");
  ServerProcess server(dir.path(),
                       {"--hook-pre", pre + " '" + seen.string() + "'", "--hook-post", post + " " + seen.string()},
                       work.path() / "log");
  ASSERT_TRUE(server.ok()) << server.Log();
  // A PNG signature and header chunk, then bytes of no meaning.
  const std::string png = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x10\0\0\0\x10\x08\x02\0\0\0", 29) +
                          testing::RandomBytes(300000, 3);
  const std::string text = "plain words\n";
  // The same client name twice: the second is stored under another name.
  for (int i = 0; i < 2; ++i) {
    const HttpAnswer answer = Upload(server, {{"note", "first value", false, ""},
                                              {"upload1", png, true, "C:\\photos\\pic.png"},
                                              {"comment", "a comment", false, ""},
                                              {"upload2", text, true, "readme.txt"}});
    ASSERT_EQ(answer.status, 200) << answer.body;
  }
  const std::set<std::string> stored = Names(dir.path());
  ASSERT_EQ(stored.size(), 4u);
  // Post notices are off the request path: wait for the four (bounded).
  const auto posts_seen = [&seen] {
    const std::set<std::string> names = Names(seen);
    return std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.starts_with("post-"); });
  };
  for (int i = 0; i < 500 && posts_seen() < 4; ++i) ::usleep(20000);
  int posts = 0;
  for (const std::string& name : stored) {
    SCOPED_TRACE(name);
    const fs::path file = dir.path() / name;
    const std::string json_text = testing::ReadFileBytes(seen / ("post-" + name + ".json"));
    const Json post_doc = Json::parse(json_text, nullptr, false);
    ASSERT_TRUE(post_doc.is_object()) << json_text;
    ++posts;
    EXPECT_EQ(post_doc["Hook"], "post");
    EXPECT_EQ(post_doc["StoredName"], name);
    EXPECT_EQ(post_doc["Outcome"]["StoredName"], name);
    EXPECT_EQ(post_doc["Outcome"]["ResultCode"], 0);
    EXPECT_EQ(post_doc["Size"], fs::file_size(file));
    EXPECT_EQ(post_doc["Sha256"], Sha256Sum(file));
    const bool is_png = name.ends_with(".png");
    EXPECT_EQ(post_doc["MimeType"], is_png ? "image/png" : "text/plain");
    EXPECT_EQ(post_doc["ClientName"], is_png ? "C:\\photos\\pic.png" : "readme.txt");
    EXPECT_EQ(post_doc["Fields"], (Json{{"note", "first value"}, {"comment", "a comment"}}));
    EXPECT_EQ(post_doc["Conflict"], "makeunique");
    EXPECT_EQ(post_doc["ClientAddress"], "127.0.0.1");
  }
  EXPECT_EQ(posts, 4);
  // The pre-hook saw the same bytes, under the name the client asked for.
  for (const char* name : {"pic.png", "readme.txt"}) {
    const Json pre_doc =
        Json::parse(testing::ReadFileBytes(seen / (std::string("pre-") + name + ".json")), nullptr, false);
    ASSERT_TRUE(pre_doc.is_object()) << name;
    EXPECT_EQ(pre_doc["Hook"], "pre");
    EXPECT_EQ(pre_doc["Sha256"], Sha256Sum(dir.path() / name)) << name;
    EXPECT_FALSE(pre_doc.contains("Outcome"));
  }
  EXPECT_EQ(server.Interrupt(), 0);
}

TEST(ServeHooksTest, AFailingPostHookLeavesTheFileStored) {
  HookReceiver receiver([](int, const std::string&) { return ReceiverAnswer{500, "application down"}; });
  const std::string data = testing::RandomBytes(100000, 11);
  for (const bool http : {false, true}) {
    SCOPED_TRACE(http ? "http" : "command");
    TempDir dir, work;
    const std::string command = Script(work.path(), "post", "cat >/dev/null; echo 'cannot notify' >&2; exit 2");
    ServerProcess server(dir.path(), {"--hook-post", http ? receiver.Url() : command, "--hook-post-retries", "1"},
                         work.path() / "log");
    ASSERT_TRUE(server.ok()) << server.Log();
    const HttpAnswer answer = Upload(server, {{"upload1", data, true, "kept.bin"}});
    EXPECT_EQ(answer.status, 200) << answer.body;
    const std::string expected = http
                                     ? "post-hook failed for \"kept.bin\" (HTTP 500: application down) after 2 attempts"
                                     : "post-hook failed for \"kept.bin\" (exit 2: cannot notify)";
    for (int i = 0; i < 250 && server.Log().find(expected) == std::string::npos; ++i) ::usleep(20000);
    EXPECT_NE(server.Log().find(expected), std::string::npos) << server.Log();
    EXPECT_EQ(testing::ReadFileBytes(dir.path() / "kept.bin"), data);
    EXPECT_EQ(Names(dir.path()), std::set<std::string>{"kept.bin"});
    EXPECT_EQ(server.Interrupt(), 0);
  }
  EXPECT_EQ(receiver.count(), 2);
}

TEST(ServeHooksTest, AFloodOfPostNoticesNeverHoldsUpUploads) {
  // The one worker is held 3 s by each notice; two may wait.
  HookReceiver receiver([](int, const std::string&) {
    return ReceiverAnswer{200, "", std::chrono::milliseconds(3000)};
  });
  TempDir dir, work;
  ServerProcess server(
      dir.path(), {"--hook-post", receiver.Url(), "--hook-post-queue", "2", "--hook-post-workers", "1", "--no-fsync"},
      work.path() / "log");
  ASSERT_TRUE(server.ok()) << server.Log();
  constexpr int kUploads = 12;
  const auto start = Clock::now();
  for (int i = 0; i < kUploads; ++i) {
    const std::string name = std::string("f").append(std::to_string(i)).append(".txt");
    const HttpAnswer answer = Upload(server, {{"upload1", name, true, name}});
    EXPECT_EQ(answer.status, 200) << answer.body;
  }
  // Twelve notices of 3 s each would take 36 s: the uploads did not wait for them.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
  EXPECT_EQ(Names(dir.path()).size(), static_cast<std::size_t>(kUploads));
  EXPECT_EQ(server.Interrupt(), 0);
  const std::string log = server.Log();
  EXPECT_NE(log.find("post-hook: queue full (2 waiting), notice for"), std::string::npos) << log;
}

TEST(ServeHooksTest, TheIoThreadServesOthersWhileAPreHookRuns) {
  TempDir dir, work;
  const std::string hook = Script(work.path(), "pre", "cat >/dev/null; sleep 3; exit 0");
  ServerProcess server(dir.path(), {"--hook-pre", hook, "--threads", "1", "--no-fsync"}, work.path() / "log");
  ASSERT_TRUE(server.ok()) << server.Log();
  auto upload = std::async(std::launch::async, [&] { return Upload(server, {{"upload1", "x", true, "slow.txt"}}); });
  ::usleep(500000);  // the upload's hook is running now
  const auto start = Clock::now();
  const HttpAnswer page = testing::ParseHttpAnswer(testing::RawExchange(
      server.port(), "GET / HTTP/1.1\r\n" + testing::HostLine(server.port()) + "Connection: close\r\n\r\n", 10));
  const auto waited = Clock::now() - start;
  EXPECT_EQ(page.status, 200);
  EXPECT_LT(waited, std::chrono::milliseconds(2000));
  EXPECT_EQ(upload.get().status, 200);
  EXPECT_EQ(server.Interrupt(), 0);
}

TEST(ServeHooksTest, WithHookPreDataACommandReadsTheBytesOnDescriptorThree) {
  TempDir dir, work;
  // Refuses a file that holds the marker; any copy that differs from the
  // digest the document gives is refused too.
  const std::string hook =
      Script(work.path(), "scan",
             "cat >/dev/null\n"
             "[ \"$(sha256sum <&3 | cut -c1-64)\" = \"$ZMFILE_SHA256\" ] || "
             "{ echo 'copy differs' >&2; exit 1; }\n"
             "if grep -q MARKER-OF-MALWARE /dev/fd/3; then echo 'Found: test signature' >&2; exit 1; fi\n"
             "exit 0");
  ServerProcess server(dir.path(), {"--hook-pre", hook, "--hook-pre-data", "--no-fsync"}, work.path() / "log");
  ASSERT_TRUE(server.ok()) << server.Log();
  const std::string clean = testing::RandomBytes(200000, 5);
  const std::string infected = testing::RandomBytes(100000, 6) + "MARKER-OF-MALWARE" + testing::RandomBytes(1000, 7);
  const HttpAnswer answer =
      Upload(server, {{"upload1", clean, true, "clean.bin"}, {"upload2", infected, true, "bad.bin"}});
  EXPECT_EQ(answer.status, 403) << answer.body;
  const Json json = Json::parse(answer.body, nullptr, false);
  ASSERT_TRUE(json.is_object()) << answer.body;
  EXPECT_EQ(json["Files"][0]["Result"], "clean.bin") << answer.body;
  EXPECT_EQ(json["Files"][1]["Message"], "Found: test signature") << answer.body;
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"clean.bin"});
  EXPECT_EQ(testing::ReadFileBytes(dir.path() / "clean.bin"), clean);
  EXPECT_EQ(server.Interrupt(), 0);
}

// The copy a --hook-pre-data hook reads is a descriptor like the stored
// file's, taken from the same budget. With --max-connections 1000000 every
// descriptor is promised to connections, so no upload may open a file past
// its first: the copy finds no room, and the file is refused with 503,
// never checked without its bytes. A resumable upload keeps what it had
// before that request, for the client to send its last part again.
TEST(ServeHooksTest, WithHookPreDataTheCopyIsTakenFromTheDescriptorBudget) {
  TempDir dir, work;
  const std::string hook = Script(work.path(), "scan", "cat >/dev/null; : > \"$1/ran\"");
  ServerProcess server(dir.path(),
                       {"--hook-pre", hook + " " + work.path().string(), "--hook-pre-data", "--max-connections",
                        "1000000", "--no-fsync"},
                       work.path() / "log");
  ASSERT_TRUE(server.ok()) << server.Log();
  const HttpAnswer answer = Upload(server, {{"upload1", "some bytes", true, "one.txt"}});
  EXPECT_EQ(answer.status, 503) << answer.body;

  const std::string target = testing::CreateUpload(server.port(), "two.bin", 20);
  ASSERT_FALSE(target.empty());
  EXPECT_EQ(testing::Patch(server.port(), target, 0, std::string(12, 'a')).status, 204);
  EXPECT_EQ(testing::Patch(server.port(), target, 12, std::string(8, 'b')).status, 503);
  EXPECT_EQ(testing::Tus(server.port(), "HEAD", target, {}).Header("Upload-Offset"), "12");

  EXPECT_EQ(Names(dir.path()), std::set<std::string>{".resumable-uploads"});
  EXPECT_FALSE(fs::exists(work.path() / "ran")) << "the hook ran on a copy made outside the budget";
  EXPECT_NE(server.Log().find("no copy of its bytes"), std::string::npos) << server.Log();
  EXPECT_EQ(server.Interrupt(), 0);
}

TEST(ServeHooksTest, AResumableUploadMeetsThePreHookAtItsLastByteAndThePostHookAfter) {
  TempDir dir, work;
  const fs::path seen = work.path() / "seen";
  fs::create_directory(seen);
  // Refuses names starting with "bad"; keeps each document it is given.
  const std::string pre = Script(work.path(), "pre",
                                 "cat > \"$1/pre-$ZMFILE_STORED_NAME.json\"\n"
                                 "case $ZMFILE_STORED_NAME in bad*) echo 'Not this one.' >&2; exit 1 ;; esac");
  const std::string post =
      Script(work.path(), "post", "cat > \"$1/.part-$$\" && mv \"$1/.part-$$\" \"$1/post-$ZMFILE_STORED_NAME.json\"");
  ServerProcess server(dir.path(), {"--hook-pre", pre + " " + seen.string(), "--hook-post", post + " " + seen.string()},
                       work.path() / "log");
  ASSERT_TRUE(server.ok()) << server.Log();
  const std::string data = testing::RandomBytes(300000, 21);
  for (const std::string name : {"good.bin", "bad.bin"}) {
    SCOPED_TRACE(name);
    const std::string target = testing::CreateUpload(server.port(), name, data.size());
    ASSERT_FALSE(target.empty());
    // Two PATCHes: the hook runs only after the second, the last byte.
    EXPECT_EQ(testing::Patch(server.port(), target, 0, data.substr(0, 100000)).status, 204);
    EXPECT_FALSE(fs::exists(seen / ("pre-" + name + ".json")));
    const HttpAnswer last = testing::Patch(server.port(), target, 100000, data.substr(100000));
    const bool good = name == "good.bin";
    EXPECT_EQ(last.status, good ? 204 : 403) << last.body;
    if (!good) {
      EXPECT_NE(last.body.find("Not this one."), std::string::npos) << last.body;
    }
    const Json pre_doc = Json::parse(testing::ReadFileBytes(seen / ("pre-" + name + ".json")), nullptr, false);
    ASSERT_TRUE(pre_doc.is_object());
    EXPECT_EQ(pre_doc["Size"], data.size());
    EXPECT_EQ(pre_doc["Fields"]["filename"], name);
  }
  EXPECT_EQ(Names(dir.path()).count("good.bin"), 1u);
  EXPECT_EQ(Names(dir.path()).count("bad.bin"), 0u);
  for (int i = 0; i < 250 && !fs::exists(seen / "post-good.bin.json"); ++i) ::usleep(20000);
  const Json post_doc = Json::parse(testing::ReadFileBytes(seen / "post-good.bin.json"), nullptr, false);
  ASSERT_TRUE(post_doc.is_object());
  EXPECT_EQ(post_doc["Sha256"], Sha256Sum(dir.path() / "good.bin"));
  EXPECT_EQ(Json::parse(testing::ReadFileBytes(seen / "pre-good.bin.json"), nullptr, false)["Sha256"],
            Sha256Sum(dir.path() / "good.bin"));
  EXPECT_EQ(post_doc["Outcome"]["StoredName"], "good.bin");
  EXPECT_FALSE(fs::exists(seen / "post-bad.bin.json"));
  EXPECT_EQ(server.Interrupt(), 0);
}

TEST(ServeHooksTest, AHookThatDoesNotParseStopsTheStart) {
  const struct {
    std::vector<std::string> args;
    const char* said;
  } kCases[] = {
      {{"--hook-pre", "'unclosed"}, "--hook-pre 'unclosed: the quote at byte 0 is not closed"},
      {{"--hook-post", "http://user@host/"}, "--hook-post http://user@host/: the URL holds user information"},
      {{"--hook-pre", "   "}, "--hook-pre    : the command is empty"},
      {{"--hook-pre-data", "--no-fsync"},
       "--hook-pre-data gives the file's bytes to a command --hook-pre: there is none"},
  };
  for (const auto& c : kCases) {
    TempDir dir;
    std::vector<std::string> args = {"serve", "--port", "0", "--dir", dir.path().string()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.begin(), ZMFILE_BINARY);
    const testing::CommandResult result = testing::RunCommand(
        {"/bin/sh", "-c", "\"$0\" \"$@\" 2>&1", args[0], args[1], args[2], args[3], args[4], args[5], args[6], args[7]},
        20);
    EXPECT_EQ(result.exit_status, 2) << result.out;
    EXPECT_NE(result.out.find(c.said), std::string::npos) << result.out;
  }
}

}  // namespace
}  // namespace zimrax::zmfile
