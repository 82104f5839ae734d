// Running the updater: both of its streams are drained together while it
// runs, so it never stalls on a full pipe, and it is reaped once both end.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_foundation.h"
#include "platform/posix/posix_tree.h"

extern char** environ;

namespace vorn::platform::posix {
namespace {

constexpr std::size_t kReadSize = 1 << 20;
constexpr int kPipeSize = 1 << 20;

// A stream's bytes so far. Capacity doubles, so a flood costs few copies, and
// large buffers ask for huge pages: a flood otherwise spends most of its time
// faulting in 4 KiB pages.
class Collector {
 public:
  // Answers false at the end of the stream.
  bool readFrom(int fd, int& error) {
    if (bytes_.capacity() - filled_ < kReadSize) grow();
    if (filled_ + kReadSize > populated_) populate(filled_ + kReadSize);
    bytes_.resize(filled_ + kReadSize);  // within capacity: no reallocation
    while (true) {
      const ssize_t n = ::read(fd, bytes_.data() + filled_, bytes_.size() - filled_);
      if (n > 0) filled_ += static_cast<std::size_t>(n);
      if (n >= 0 || errno != EINTR) {
        if (n < 0 && errno != EAGAIN) error = errno;
        bytes_.resize(filled_);
        return n > 0 || (n < 0 && errno == EAGAIN);
      }
    }
  }
  std::string take() { return std::move(bytes_); }

 private:
  void grow() {
    std::string larger;
    larger.reserve(std::max(bytes_.capacity() * 2, filled_ + kReadSize));
    adviseHugePages(larger.data(), larger.capacity());
    std::swap(bytes_, larger);
    populated_ = 0;
    populate(filled_ + kReadSize);
    bytes_.append(larger.data(), filled_);
  }
  // Faults the pages ahead of the reads in one call rather than one trap per
  // page, which is where a flood's time went.
  void populate(std::size_t upTo) {
    constexpr std::size_t kPage = 4096;
    constexpr std::size_t kAhead = 8 << 20;
    const std::size_t end = std::min(bytes_.capacity(), std::max(upTo, populated_ + kAhead));
    const auto base = reinterpret_cast<std::uintptr_t>(bytes_.data());
    const std::uintptr_t from = (base + populated_ + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t to = (base + end) & ~(kPage - 1);
    if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
    populated_ = end;
  }
  static void adviseHugePages(char* data, std::size_t size) {
    constexpr std::uintptr_t kHuge = 2 << 20;
    if (size < 2 * kHuge) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kHuge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }

  std::string bytes_;
  std::size_t filled_ = 0;
  std::size_t populated_ = 0;
};

struct SpawnActions {
  SpawnActions() { ::posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t actions{};
};

struct SpawnAttributes {
  SpawnAttributes() { ::posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t attributes{};
};

}  // namespace

Outcome<TaskResult> PosixFoundation::runTask(const URL& executable,
                                             const std::vector<std::string>& arguments) {
  const std::string path = executable.path();
  const std::string what = "run \"" + path + "\"";
  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return posixFailure(errno, what);
  UniqueFd outRead(outPipe[0]);
  UniqueFd outWrite(outPipe[1]);
  if (::pipe2(errPipe, O_CLOEXEC) != 0) return posixFailure(errno, what);
  UniqueFd errRead(errPipe[0]);
  UniqueFd errWrite(errPipe[1]);
  // Larger pipes mean fewer wake-ups on both sides; the default size serves too.
  ::fcntl(outWrite.get(), F_SETPIPE_SZ, kPipeSize);
  ::fcntl(errWrite.get(), F_SETPIPE_SZ, kPipeSize);

  SpawnActions actions;
  ::posix_spawn_file_actions_adddup2(&actions.actions, outWrite.get(), STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions.actions, errWrite.get(), STDERR_FILENO);
  // Nothing of ours beyond the three standard streams reaches the updater,
  // not even a descriptor another thread opened without close-on-exec.
  ::posix_spawn_file_actions_addclosefrom_np(&actions.actions, STDERR_FILENO + 1);

  // A background thread may block signals, and a broken pipe may be ignored
  // here; the updater starts with neither.
  SpawnAttributes attributes;
  sigset_t none;
  sigemptyset(&none);
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  ::posix_spawnattr_setsigmask(&attributes.attributes, &none);
  ::posix_spawnattr_setsigdefault(&attributes.attributes, &pipeSignal);
  ::posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argvText;
  argvText.push_back(path);
  argvText.insert(argvText.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int spawned =
      ::posix_spawn(&pid, path.c_str(), &actions.actions, &attributes.attributes, argv.data(), environ);
  if (spawned != 0) return posixFailure(spawned, what);
  outWrite.reset();
  errWrite.reset();

  Collector out;
  Collector err;
  int readError = 0;
  ::fcntl(outRead.get(), F_SETFL, O_NONBLOCK);
  ::fcntl(errRead.get(), F_SETFL, O_NONBLOCK);
  bool outOpen = true;
  bool errOpen = true;
  while (outOpen || errOpen) {
    pollfd fds[2] = {{outOpen ? outRead.get() : -1, POLLIN, 0}, {errOpen ? errRead.get() : -1, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      readError = errno;
      break;
    }
    if (outOpen && fds[0].revents != 0) outOpen = out.readFrom(outRead.get(), readError);
    if (errOpen && fds[1].revents != 0) errOpen = err.readFrom(errRead.get(), readError);
    if (readError != 0) break;
  }
  // Closing our ends first lets an updater still writing end instead of
  // waiting on us forever.
  outRead.reset();
  errRead.reset();

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return posixFailure(errno, what);
  }
  if (readError != 0) return posixFailure(readError, "read the output of \"" + path + "\"");

  TaskResult result;
  if (WIFEXITED(status)) {
    result.terminationStatus = WEXITSTATUS(status);
  } else {
    result.terminatedBySignal = true;
    result.terminationStatus = WIFSIGNALED(status) ? WTERMSIG(status) : 1;
  }
  result.standardOutput = out.take();
  result.standardError = err.take();
  return result;
}

}  // namespace vorn::platform::posix
