// The hooks' parts on their own: the command line's split, the message
// taken from a hook, hook URLs, one command run (its output cap, its
// deadline, its descriptors), the verdicts of commands and of an HTTP
// receiver, and the post-hook queue's retries and drops.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "hook_receiver.h"
#include "server/hook_command_line.h"
#include "server/hook_message.h"
#include "server/hook_process.h"
#include "server/hook_target.h"
#include "server/post_hook_queue.h"
#include "server_process.h"
#include "sha256_digest.h"

namespace zimrax::zmfile {
namespace {

using Clock = std::chrono::steady_clock;
using Words = std::vector<std::string>;
using testing::HookReceiver;
using testing::ReceiverAnswer;

TEST(HookCommandLineTest, SplitsOnceByTheDocumentedRule) {
  const struct {
    const char* text;
    Words words;  // empty: refused
  } kCases[] = {
      {"/bin/check", {"/bin/check"}},
      {"  a \t b  ", {"a", "b"}},
      {"a 'b c' d", {"a", "b c", "d"}},
      {"'a'b\"c\"", {"abc"}},
      {R"("say \"hi\" \\ \n")", {R"(say "hi" \ \n)"}},
      {R"('$HOME;|>&' *)", {"$HOME;|>&", "*"}},
      {R"(a\ b \')", {"a b", "'"}},
      {"''", {""}},
      {"", {}},
      {"   ", {}},
      {"'open", {}},
      {"\"open", {}},
      {"end\\", {}},
      {"a\0b", {"a"}},  // as a C string, the NUL ends the text
  };
  for (const auto& c : kCases) {
    std::string why;
    const auto words = SplitHookCommand(c.text, &why);
    if (c.words.empty()) {
      EXPECT_FALSE(words) << c.text;
      EXPECT_FALSE(why.empty()) << c.text;
    } else {
      ASSERT_TRUE(words) << c.text << ": " << why;
      EXPECT_EQ(*words, c.words) << c.text;
    }
  }
  std::string why;
  EXPECT_FALSE(SplitHookCommand(std::string_view("a\0b", 3), &why));
}

TEST(HookMessageTest, FirstLineBoundedAndClean) {
  const std::string long_line(500, 'x');
  const std::string euro = "\xe2\x82\xac";  // 3 bytes
  std::string euros;
  for (int i = 0; i < 100; ++i) euros += euro;
  const struct {
    std::string output;
    std::string message;
  } kCases[] = {
      {"too big\nsecond line\n", "too big"},
      {"  padded \t\r\nmore", "padded"},
      {"", ""},
      {"\n\nlater", ""},
      {long_line, std::string(kMaxHookMessage, 'x')},
      {"bell\x07 esc\x1b[31m del\x7f", "bell? esc?[31m del?"},
      {"bad \xff\xfe utf8 \xc3", "bad ?? utf8 ?"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"\xed\xa0\x80 surrogate", "??? surrogate"},
      // 66 euros fit in 198 bytes; the 67th would split at 200.
      {euros, euros.substr(0, 66 * 3)},
  };
  for (const auto& c : kCases) EXPECT_EQ(HookMessage(c.output), c.message) << c.output.substr(0, 40);
}

TEST(HookUrlTest, ParsesWhatARequestCanCarry) {
  const struct {
    const char* text;
    bool ok;
    bool tls;
    const char* host;
    const char* port;
    const char* target;
  } kCases[] = {
      {"http://127.0.0.1:8080/hooks/pre?x=1", true, false, "127.0.0.1", "8080", "/hooks/pre?x=1"},
      {"https://app.example", true, true, "app.example", "443", "/"},
      {"http://[::1]:9/h", true, false, "::1", "9", "/h"},
      {"http://host?q", true, false, "host", "80", "/?q"},
      {"ftp://host/", false, false, "", "", ""},
      {"http://", false, false, "", "", ""},
      {"http://user:pw@host/", false, false, "", "", ""},
      {"http://host:0/", false, false, "", "", ""},
      {"http://host:65536/", false, false, "", "", ""},
      {"http://host:8x/", false, false, "", "", ""},
      {"http://host/a b", false, false, "", "", ""},
      {"http://host/#frag", false, false, "", "", ""},
      {"http://[::1/", false, false, "", "", ""},
  };
  for (const auto& c : kCases) {
    std::string why;
    const auto url = ParseHookUrl(c.text, &why);
    ASSERT_EQ(url.has_value(), c.ok) << c.text << ": " << why;
    if (!c.ok) continue;
    EXPECT_EQ(url->tls, c.tls) << c.text;
    EXPECT_EQ(url->host, c.host) << c.text;
    EXPECT_EQ(url->port, c.port) << c.text;
    EXPECT_EQ(url->target, c.target) << c.text;
  }
}

const Words kEnvironment = {"PATH=/usr/bin:/bin"};

ProcessRun RunShell(const std::string& script, const std::string& input, Clock::duration allowed) {
  return RunHookProcess({"/bin/sh", "-c", script}, kEnvironment, input, Clock::now() + allowed);
}

TEST(HookProcessTest, TenMegabytesOfOutputAreCappedNotBuffered) {
  const auto start = Clock::now();
  const ProcessRun run =
      RunShell("head -c 10485760 /dev/zero; head -c 10485760 /dev/zero >&2; exit 0", "", std::chrono::seconds(30));
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out.size(), kMaxHookOutput);
  EXPECT_EQ(run.err.size(), kMaxHookOutput);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
}

TEST(HookProcessTest, TheDocumentArrivesWholeOnStandardInput) {
  const std::string input = testing::RandomBytes(3 * 1024 * 1024, 7);  // more than a pipe holds
  const ProcessRun run = RunShell("sha256sum", input, std::chrono::seconds(30));
  Sha256Digest digest;
  digest.Update({reinterpret_cast<const std::uint8_t*>(input.data()), input.size()});
  ASSERT_TRUE(run.exited);
  EXPECT_EQ(run.out.substr(0, 64), digest.FinishHex());
}

TEST(HookProcessTest, AHookThatIgnoresItsInputDoesNotStallOrKillTheServer) {
  const ProcessRun run = RunShell("exit 0", std::string(4 * 1024 * 1024, 'x'), std::chrono::seconds(10));
  EXPECT_TRUE(run.exited);
  EXPECT_FALSE(run.timed_out);
}

TEST(HookProcessTest, TheDeadlineKillsTheWholeGroupAndReapsIt) {
  const std::string pid_file = std::string("/tmp/zmfile_hook_child_").append(std::to_string(::getpid()));
  const auto start = Clock::now();
  // A background child that would outlive its parent, and a parent that waits.
  const ProcessRun run =
      RunShell("sleep 60 & echo $! > " + pid_file + "; echo started >&2; wait", "", std::chrono::milliseconds(800));
  EXPECT_TRUE(run.timed_out);
  EXPECT_FALSE(run.exited);
  EXPECT_EQ(run.err, "started\n");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  const std::string child = testing::ReadFileBytes(pid_file);
  ::unlink(pid_file.c_str());
  ASSERT_FALSE(child.empty());
  const pid_t grandchild = std::stoi(child);
  // Killed with the group: gone within a moment (it is init's to reap).
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    gone = ::kill(grandchild, 0) != 0;
    if (!gone) {
      const std::string stat =
          testing::ReadFileBytes(std::string("/proc/").append(std::to_string(grandchild)).append("/stat"));
      gone = stat.find(") Z") != std::string::npos;  // a zombie of init's, dead
    }
    if (!gone) ::usleep(20000);
  }
  EXPECT_TRUE(gone);
  // The hook itself was reaped: no child of this process is left.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(HookProcessTest, NoDescriptorButTheThreePipesReachesTheHook) {
  // A descriptor this process holds without close-on-exec.
  const int leaked = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 0);
  const int high = ::dup2(leaked, 77);
  const ProcessRun run =
      RunHookProcess({"/bin/ls", "/proc/self/fd"}, kEnvironment, "", Clock::now() + std::chrono::seconds(10));
  ::close(leaked);
  ::close(high);
  ASSERT_TRUE(run.exited);
  // 0, 1, 2, and the one ls opens to read the directory.
  EXPECT_EQ(run.out, "0\n1\n2\n3\n");
}

TEST(HookProcessTest, OnlyTheGivenEnvironment) {
  ::setenv("ZMFILE_SECRET_OF_THE_SERVER", "leak", 1);
  const ProcessRun run =
      RunHookProcess({"env"}, {"PATH=/usr/bin:/bin", "ZMFILE_HOOK=pre"}, "", Clock::now() + std::chrono::seconds(10));
  ::unsetenv("ZMFILE_SECRET_OF_THE_SERVER");
  ASSERT_TRUE(run.started) << run.error;
  EXPECT_EQ(run.out, "PATH=/usr/bin:/bin\nZMFILE_HOOK=pre\n");
}

HookTarget Target(const std::string& text) {
  std::string why;
  std::optional<HookTarget> target = HookTarget::Parse(text, &why);
  EXPECT_TRUE(target) << text << ": " << why;
  return target.value_or(*HookTarget::Parse("true", &why));
}

TEST(HookTargetTest, CommandVerdicts) {
  const struct {
    const char* command;
    bool accepted;
    bool failed;
    const char* reason_start;
    const char* message;
  } kCases[] = {
      {"/bin/sh -c 'cat >/dev/null; exit 0'", true, false, "", ""},
      {"/bin/sh -c 'echo \"too large: 5 MB\" >&2; echo second >&2; exit 3'", false, false, "exit 3", "too large: 5 MB"},
      {"/bin/sh -c 'kill -SEGV $$'", false, true, "killed by signal 11", ""},
      {"/bin/sh -c 'sleep 30'", false, true, "timed out after 1 s", ""},
      {"/nonexistent/hook", false, true, "cannot start /nonexistent/hook", ""},
      {"no-such-hook-program-here", false, true, "cannot start", ""},
  };
  for (const auto& c : kCases) {
    const HookVerdict verdict =
        Target(c.command).Run("{}", {{"ZMFILE_HOOK", "pre"}}, Clock::now() + std::chrono::seconds(1));
    EXPECT_EQ(verdict.accepted, c.accepted) << c.command;
    EXPECT_EQ(verdict.failed, c.failed) << c.command;
    EXPECT_TRUE(verdict.reason.starts_with(c.reason_start)) << c.command << ": " << verdict.reason;
    EXPECT_EQ(verdict.message, c.message) << c.command;
  }
}

TEST(HookTargetTest, HttpVerdicts) {
  HookReceiver receiver([](int number, const std::string&) -> ReceiverAnswer {
    switch (number) {
      case 0:
        return {204, ""};
      case 1:
        return {403, "no viruses here\nsecond line"};
      case 2:
        return {500, "broken"};
      default:
        return {200, "", std::chrono::milliseconds(3000)};
    }
  });
  ASSERT_GT(receiver.port(), 0);
  const HookTarget target = Target(receiver.Url("/pre"));
  const auto run = [&] { return target.Run(R"({"Size":3})", {}, Clock::now() + std::chrono::seconds(1)); };
  HookVerdict verdict = run();
  EXPECT_TRUE(verdict.accepted) << verdict.reason;
  verdict = run();
  EXPECT_FALSE(verdict.accepted);
  EXPECT_FALSE(verdict.failed);
  EXPECT_EQ(verdict.reason, "HTTP 403");
  EXPECT_EQ(verdict.message, "no viruses here");
  verdict = run();
  EXPECT_TRUE(verdict.failed);
  EXPECT_EQ(verdict.reason, "HTTP 500");
  verdict = run();
  EXPECT_TRUE(verdict.failed);
  EXPECT_EQ(verdict.reason, "no answer within 1 s");
  ASSERT_EQ(receiver.Bodies().size(), 4u);
  EXPECT_EQ(receiver.Bodies()[0], R"({"Size":3})");

  // Nobody listens on a port just closed.
  int closed_port = 0;
  {
    HookReceiver gone([](int, const std::string&) { return ReceiverAnswer{}; });
    closed_port = gone.port();
  }
  verdict = Target(std::string("http://127.0.0.1:").append(std::to_string(closed_port)).append("/"))
                .Run("{}", {}, Clock::now() + std::chrono::seconds(2));
  EXPECT_TRUE(verdict.failed);
  EXPECT_TRUE(verdict.reason.starts_with("unreachable: ")) << verdict.reason;
}

TEST(PostHookQueueTest, RetriesAFailedHttpNoticeWithBackoff) {
  HookReceiver receiver([](int number, const std::string&) { return ReceiverAnswer{number < 2 ? 503 : 200, ""}; });
  HookCounters counters;
  std::vector<std::string> lines;
  std::mutex lines_mutex;
  {
    const HookTarget target = Target(receiver.Url());
    PostHookLimits limits;
    limits.retries = 3;
    limits.first_backoff = std::chrono::milliseconds(50);
    PostHookQueue queue(target, limits, counters, [&](const std::string& line) {
      std::lock_guard lock(lines_mutex);
      lines.push_back(line);
    });
    EXPECT_TRUE(queue.Push({"{\"n\":1}", {}, "a.txt"}));
    for (int i = 0; i < 250 && receiver.count() < 3; ++i) ::usleep(20000);
  }
  EXPECT_EQ(receiver.count(), 3);
  EXPECT_EQ(counters.post_runs.load(), 3u);
  EXPECT_EQ(counters.post_failures.load(), 0u);
  EXPECT_TRUE(lines.empty()) << lines.front();
}

TEST(PostHookQueueTest, GivesUpAfterTheLimitAndCountsIt) {
  HookReceiver receiver([](int, const std::string&) { return ReceiverAnswer{500, "down"}; });
  HookCounters counters;
  std::vector<std::string> lines;
  {
    const HookTarget target = Target(receiver.Url());
    PostHookLimits limits;
    limits.retries = 2;
    limits.first_backoff = std::chrono::milliseconds(20);
    PostHookQueue queue(target, limits, counters, [&](const std::string& line) { lines.push_back(line); });
    queue.Push({"{}", {}, "b.txt"});
    for (int i = 0; i < 250 && counters.post_failures.load() == 0; ++i) ::usleep(20000);
  }
  EXPECT_EQ(receiver.count(), 3);
  EXPECT_EQ(counters.post_failures.load(), 1u);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"b.txt\" (HTTP 500: down) after 3 attempts"), std::string::npos) << lines[0];
}

TEST(PostHookQueueTest, AFullQueueDropsWithoutWaiting) {
  // The one worker is held by a receiver that answers after 2 s.
  HookReceiver receiver([](int, const std::string&) {
    return ReceiverAnswer{200, "", std::chrono::milliseconds(2000)};
  });
  HookCounters counters;
  std::vector<std::string> lines;
  std::mutex lines_mutex;
  {
    const HookTarget target = Target(receiver.Url());
    PostHookLimits limits;
    limits.queue = 3;
    limits.workers = 1;
    PostHookQueue queue(target, limits, counters, [&](const std::string& line) {
      std::lock_guard lock(lines_mutex);
      lines.push_back(line);
    });
    queue.Push({"{}", {}, "first"});
    for (int i = 0; i < 250 && receiver.count() == 0; ++i) ::usleep(20000);
    const auto start = Clock::now();
    int accepted = 0;
    for (int i = 0; i < 50; ++i) accepted += queue.Push({"{}", {}, std::string("n").append(std::to_string(i))});
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(accepted, 3);
  }
  EXPECT_EQ(counters.post_drops.load(), 47u + 3u);  // 47 at once, the 3 waiting at stop
  std::lock_guard lock(lines_mutex);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines[0].find("queue full (3 waiting), notice for \"n3\" dropped"), std::string::npos) << lines[0];
  EXPECT_NE(lines.back().find("3 notices not sent at stop"), std::string::npos) << lines.back();
}

}  // namespace
}  // namespace zimrax::zmfile
