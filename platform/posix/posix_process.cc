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
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_foundation.h"
#include "platform/posix/posix_tree.h"

extern char** environ;

namespace vorn::platform::posix {
namespace {

constexpr std::size_t kReadSize = 1 << 20;
constexpr int kPipeSize = 1 << 20;

// A stream's bytes so far, in an anonymous mapping that grows by remapping:
// the kernel moves the pages instead of copying them, so a flood is written
// to memory once, by the read itself. Pages ahead of the reads are faulted in
// one call each (one trap per 4 KiB page is where a flood's time went), and
// large mappings ask for huge pages.
class Collector {
 public:
  Collector() = default;
  ~Collector() {
    if (data_ != nullptr) ::munmap(data_, capacity_);
  }
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  // Answers false at the end of the stream or on an error.
  bool readFrom(int fd, int& error) {
    if (capacity_ - filled_ < kReadSize && !grow(error)) return false;
    populateAhead();
    while (true) {
      const ssize_t n = ::read(fd, data_ + filled_, capacity_ - filled_);
      if (n > 0) filled_ += static_cast<std::size_t>(n);
      if (n >= 0 || errno != EINTR) {
        if (n < 0 && errno != EAGAIN) error = errno;
        return n > 0 || (n < 0 && errno == EAGAIN);
      }
    }
  }

  // Hands the mapping over to the bytes that the caller keeps.
  Data take() {
    if (filled_ == 0) return Data{};
    const std::size_t length = std::exchange(capacity_, 0);
    char* data = std::exchange(data_, nullptr);
    const std::string_view bytes(data, std::exchange(filled_, 0));
    std::shared_ptr<const void> owner(data,
                                      [length](const void* p) { ::munmap(const_cast<void*>(p), length); });
    return Data(std::move(owner), bytes);
  }

 private:
  bool grow(int& error) {
    const std::size_t larger = std::max(capacity_ * 2, filled_ + kReadSize);
    void* moved = data_ == nullptr
                      ? ::mmap(nullptr, larger, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                      : ::mremap(data_, capacity_, larger, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) {
      error = errno;
      return false;
    }
    data_ = static_cast<char*>(moved);
    capacity_ = larger;
    adviseHugePages();
    return true;
  }
  void populateAhead() {
    constexpr std::size_t kPage = 4096;
    // As much again as has come so far, within limits: a small output faults
    // little, a flood faults in large steps.
    const std::size_t step = std::clamp(filled_, kReadSize, std::size_t{8} << 20);
    populated_ = std::max(populated_, filled_);
    if (populated_ >= filled_ + kReadSize) return;
    const std::size_t end = std::min(capacity_, populated_ + step);
    const auto base = reinterpret_cast<std::uintptr_t>(data_);
    const std::uintptr_t from = (base + populated_ + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t to = (base + end) & ~(kPage - 1);
    if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
    populated_ = end;
  }
  void adviseHugePages() {
    constexpr std::uintptr_t kHuge = 2 << 20;
    if (capacity_ < 2 * kHuge) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data_) + kHuge - 1) & ~(kHuge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data_) + capacity_) & ~(kHuge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }

  char* data_ = nullptr;
  std::size_t capacity_ = 0;
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
  argv.reserve(argvText.size() + 1);
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
