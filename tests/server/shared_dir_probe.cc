// What a shared file system answers to the calls the atomic writer and the
// start-up sweep make, seen through two mounts of one directory (two
// "hosts"): O_TMPFILE, renameat2(RENAME_NOREPLACE), link onto a taken name,
// and whether an open-file-description lock taken through one mount is seen
// through the other. Then the writer itself: a save in flight through one
// mount while the sweep runs through the other, and a publish racing a name
// taken through the other mount.
//
//   shared_dir_probe DIR_A DIR_B
//
// Prints one "what: answer" line per check. Exits 0 when every answer
// keeps the writer's guarantees, 1 when one does not, 2 on a usage error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "storage/abandoned_temp_files.h"
#include "storage/atomic_file_writer.h"
#include "storage/destination_path.h"
#include "storage/temp_file.h"

namespace {

using zimrax::AtomicFileWriter;
using zimrax::ConflictPolicy;
using zimrax::StoreStatus;

int failures = 0;

std::string Answer(int result) {
  if (result == 0) return "ok";
  const char* name = strerrorname_np(result);
  return name != nullptr ? name : std::to_string(result);
}

// Prints one check. `acceptable` says whether the answer keeps the writer's
// guarantees; a check that does not counts as a failure.
void Report(const char* what, const std::string& answer, bool acceptable) {
  std::printf("%-44s %s%s\n", what, answer.c_str(), acceptable ? "" : "  <-- breaks a guarantee");
  if (!acceptable) ++failures;
}

// Seconds until `done` holds, polled for at most kSettleSeconds; -1 if never.
constexpr double kSettleSeconds = 10;

template <typename Done>
double SecondsUntil(Done done) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (done()) return elapsed;
    if (elapsed > kSettleSeconds) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string Seconds(double seconds) {
  if (seconds < 0) return "never (within " + std::to_string(static_cast<int>(kSettleSeconds)) + " s)";
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f s", seconds);
  return text;
}

zimrax::ByteView Bytes(const char* text) {
  return zimrax::ByteView(reinterpret_cast<const std::uint8_t*>(text), std::strlen(text));
}

int ErrnoOf(int result) { return result == 0 ? 0 : errno; }

int CreateFile(const std::string& path, const char* content) {
  const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  const std::size_t length = std::strlen(content);
  const int error = ::write(fd, content, length) == static_cast<ssize_t>(length) ? 0 : EIO;
  ::close(fd);
  return error;
}

std::string ReadFile(const std::string& path) {
  std::string content;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[256];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) content.append(buffer, got);
    std::fclose(file);
  }
  return content;
}

// F_OFD_SETLK of `type` on the whole file; 0 or the errno.
int OfdLock(int fd, short type) {
  struct flock whole_file {};
  whole_file.l_type = type;
  whole_file.l_whence = SEEK_SET;
  return ErrnoOf(::fcntl(fd, F_OFD_SETLK, &whole_file));
}

void ProbeSystemCalls(const std::string& a, const std::string& b) {
  const int dir_a = ::open(a.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int dir_b = ::open(b.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_a < 0 || dir_b < 0) {
    std::perror("open");
    ++failures;
    return;
  }
  // Any answer is fine: the writer takes a named file where this fails.
  const int unnamed = ::openat(dir_a, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
  Report("open(O_TMPFILE)", Answer(unnamed >= 0 ? 0 : errno), true);
  if (unnamed >= 0) ::close(unnamed);

  // The names: p-source renamed or linked to p-free, and p-taken created
  // through the other mount just before.
  const int source = CreateFile(a + "/p-source", "source");
  Report("create p-source (A)", Answer(source), source == 0);
  const int taken = CreateFile(b + "/p-taken", "taken");
  Report("create p-taken (B)", Answer(taken), taken == 0);

  const int rename_taken = ErrnoOf(::renameat2(dir_a, "p-source", dir_a, "p-taken", RENAME_NOREPLACE));
  // EEXIST refuses; EINVAL/ENOSYS send the writer to link. Anything else
  // (above all "ok", a replaced file) loses the race guarantee.
  Report("renameat2(NOREPLACE) onto taken name (A)", Answer(rename_taken),
         rename_taken == EEXIST || rename_taken == EINVAL || rename_taken == ENOSYS);
  Report("  taken file kept", ReadFile(b + "/p-taken"), ReadFile(b + "/p-taken") == "taken");

  const int link_taken = ErrnoOf(::linkat(dir_a, "p-source", dir_a, "p-taken", 0));
  Report("link onto name taken through B (A)", Answer(link_taken), link_taken == EEXIST);
  const int link_free = ErrnoOf(::linkat(dir_a, "p-source", dir_a, "p-free", 0));
  Report("link onto free name (A)", Answer(link_free), link_free == 0);
  Report("  linked file seen through B", ReadFile(b + "/p-free"), ReadFile(b + "/p-free") == "source");
  const int rename_free = ErrnoOf(::renameat2(dir_a, "p-source", dir_a, "p-renamed", RENAME_NOREPLACE));
  Report("renameat2(NOREPLACE) onto free name (A)", Answer(rename_free),
         rename_free == 0 || rename_free == EINVAL || rename_free == ENOSYS);
  const int replace = ErrnoOf(::renameat(dir_a, "p-free", dir_a, "p-taken"));
  Report("rename replacing (A)", Answer(replace), replace == 0);
  // Through the other mount, the old file may be read for a while (its
  // client's caches): never a partial one, and not for long.
  const double stale = SecondsUntil([&] { return ReadFile(b + "/p-taken") == "source"; });
  Report("  replacement seen through B after", Seconds(stale), stale >= 0);

  // Open-file-description locks: the sweep takes a file whose lock it can
  // get for abandoned.
  CreateFile(a + "/p-lock", "lock");
  const int holder = ::open((a + "/p-lock").c_str(), O_WRONLY | O_CLOEXEC);
  const int same_mount = ::open((a + "/p-lock").c_str(), O_RDONLY | O_CLOEXEC);
  const int other_mount = ::open((b + "/p-lock").c_str(), O_RDONLY | O_CLOEXEC);
  const int held = OfdLock(holder, F_WRLCK);
  Report("F_OFD_SETLK write lock (A)", Answer(held), true);
  if (held == 0) {
    const int same = OfdLock(same_mount, F_RDLCK);
    Report("  read lock, other description, same mount", Answer(same), same == EAGAIN || same == EACCES);
    const int other = OfdLock(other_mount, F_RDLCK);
    // Informational: where locks are not shared, the sweep relies on its
    // age threshold instead (checked below with the writer itself).
    Report("  read lock through the other mount (B)", Answer(other) + (other == 0 ? " (not shared)" : " (shared)"),
           true);
    ::close(holder);
    // The release may reach the other mount's client only a little later.
    const double released = SecondsUntil([&] { return OfdLock(other_mount, F_RDLCK) == 0; });
    Report("  lock free through B after A closed, after", Seconds(released), released >= 0);
  }
  if (same_mount >= 0) ::close(same_mount);
  if (other_mount >= 0) ::close(other_mount);

  for (const char* name : {"p-source", "p-taken", "p-free", "p-renamed", "p-lock"}) ::unlinkat(dir_a, name, 0);
  ::close(dir_a);
  ::close(dir_b);
}

void ProbeWriter(const std::string& a, const std::string& b) {
  // A save in flight through A while B's server starts and sweeps.
  AtomicFileWriter writer;
  const bool opened = writer.Open(a).ok() && writer.Append(Bytes("in flight")).ok();
  Report("writer opened through A", opened ? "ok" : "failed", opened);
  if (!opened) return;
  const zimrax::AbandonedTempFiles swept = zimrax::RemoveAbandonedTempFiles(b);
  Report("sweep through B removes A's live temp file", std::to_string(swept.removed), swept.removed == 0);
  // Meanwhile a file of the same name appears through B: "error" must
  // refuse, not replace it.
  const int first = CreateFile(b + "/w-name", "first");
  Report("create w-name (B)", Answer(first), first == 0);
  const zimrax::Destination destination = zimrax::DestinationFor(a, "w-name", 0);
  const zimrax::StoreReport refused = writer.Publish(destination, ConflictPolicy::kError);
  Report("publish under error onto w-name (A)", refused.status == StoreStatus::kTaken ? "taken" : "not refused",
         refused.status == StoreStatus::kTaken && ReadFile(b + "/w-name") == "first");
  writer.Discard();

  AtomicFileWriter unique;
  const bool unique_opened = unique.Open(a).ok() && unique.Append(Bytes("second")).ok();
  const zimrax::StoreReport moved = unique.Publish(destination, ConflictPolicy::kMakeUnique);
  Report(
      "publish under makeunique onto w-name (A)", moved.ok() ? moved.entry_name : "failed",
      unique_opened && moved.ok() && moved.entry_name != "w-name" && ReadFile(b + "/" + moved.entry_name) == "second");
  ::unlink((a + "/w-name").c_str());
  if (moved.ok()) ::unlink((a + "/" + moved.entry_name).c_str());

  // Nothing of the probe's temporary files stays.
  int left = 0;
  if (const int dir = ::open(a.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    left = static_cast<int>(zimrax::RemoveAbandonedTempFiles(a).removed);
    ::close(dir);
  }
  Report("temp files left by the probe", std::to_string(left), left == 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DIR_A DIR_B  (two mounts of one directory)\n", argv[0]);
    return 2;
  }
  ProbeSystemCalls(argv[1], argv[2]);
  ProbeWriter(argv[1], argv[2]);
  std::printf("%s\n", failures == 0 ? "all answers keep the guarantees" : "some answers break a guarantee");
  return failures == 0 ? 0 : 1;
}
