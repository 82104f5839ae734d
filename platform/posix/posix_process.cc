// Running the updater: both of its streams are drained together while it
// runs, so it never stalls on a full pipe; it runs in a process group of its
// own, and its exit (a pidfd says when), not the end of its streams, ends
// the wait: what the pipes hold then is read, whatever it left running in
// its group is ended, and it is reaped. It dies with the program, and a
// watcher ends its group then, however the program ends.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/posix_error.h"
#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_foundation.h"
#include "platform/posix/posix_tree.h"

extern char** environ;

namespace vorn::platform::posix {
namespace {

constexpr std::size_t kReadSize = 1 << 20;
constexpr int kPipeSize = 1 << 20;
// Once the updater has exited, everything it wrote is in the pipes: they are
// read for as long as they hold anything, but no longer than this, so that a
// descendant that keeps writing does not get to hold the installation.
constexpr std::chrono::milliseconds kExitedReadGrace{1000};
// Between the polite request to end (SIGTERM) and the one that cannot be refused.
constexpr std::chrono::milliseconds kStopGrace{1000};
// The same for what an updater that exited left running in its group.
constexpr std::chrono::milliseconds kLeftoverGrace{250};
// How often the end of such leftovers is looked for: they are no children of
// ours, so nothing tells us.
constexpr std::chrono::milliseconds kLeftoverTick{5};
// How often a wait looks at its cancellation.
constexpr std::chrono::milliseconds kCancellationTick{50};

using Clock = std::chrono::steady_clock;

// A stream's bytes so far, in an anonymous mapping that grows by remapping:
// the kernel moves the pages instead of copying them, so a flood is written
// to memory once, by the read itself. Pages ahead of the reads are faulted in
// one call each (one trap per 4 KiB page is where a flood's time went), and
// large mappings ask for huge pages.
class Collector {
 public:
  // Keeps at most `limit` bytes (0: all) and counts the rest.
  explicit Collector(std::size_t limit = 0) : limit_(limit) {}
  ~Collector() {
    if (data_ != nullptr) ::munmap(data_, capacity_);
  }
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  // Answers false at the end of the stream or on an error.
  bool readFrom(int fd, int& error) {
    if (limit_ > 0 && filled_ >= limit_) return drop(fd, error);
    if (capacity_ - filled_ < kReadSize && !grow(error)) return false;
    populateAhead();
    const std::size_t room = limit_ > 0 ? std::min(capacity_, limit_) - filled_ : capacity_ - filled_;
    while (true) {
      const ssize_t n = ::read(fd, data_ + filled_, room);
      if (n > 0) filled_ += static_cast<std::size_t>(n);
      if (n >= 0 || errno != EINTR) {
        if (n < 0 && errno != EAGAIN) error = errno;
        return n > 0 || (n < 0 && errno == EAGAIN);
      }
    }
  }

  [[nodiscard]] std::size_t leftOut() const { return leftOut_; }

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

  // Past the limit: read on, so the writer never stalls, and keep nothing.
  bool drop(int fd, int& error) {
    if (scratch_.empty()) scratch_.resize(std::size_t{64} << 10);
    while (true) {
      const ssize_t n = ::read(fd, scratch_.data(), scratch_.size());
      if (n > 0) {
        leftOut_ += static_cast<std::size_t>(n);
        return true;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return true;
      if (n < 0) error = errno;
      return false;
    }
  }

  std::size_t limit_ = 0;
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t filled_ = 0;
  std::size_t populated_ = 0;
  std::size_t leftOut_ = 0;
  std::vector<char> scratch_;
};

// A stream of which only its first and its last `ends` bytes are kept (all of
// it while it is no longer than both): a flood costs a copy per read, never
// memory.
class BoundedCollector {
 public:
  explicit BoundedCollector(std::size_t ends) : ends_(ends) {}

  bool readFrom(int fd, int& error) {
    if (scratch_.empty()) scratch_.resize(kReadSize);
    while (true) {
      const ssize_t n = ::read(fd, scratch_.data(), scratch_.size());
      if (n > 0) {
        keep(std::string_view(scratch_.data(), static_cast<std::size_t>(n)));
        return true;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return true;
      if (n < 0) error = errno;
      return false;
    }
  }

  // The first bytes (all of them when nothing was left out), the last bytes
  // and how many lay between.
  void take(TaskResult& result) {
    if (total_ <= 2 * ends_) {
      std::string whole = head_;
      whole.append(tailInOrder());
      result.standardError = shared(std::move(whole));
      return;
    }
    result.standardError = shared(std::move(head_));
    result.standardErrorTail = shared(tailInOrder());
    result.standardErrorLeftOut = total_ - 2 * ends_;
  }

 private:
  void keep(std::string_view bytes) {
    total_ += bytes.size();
    const std::size_t toHead = std::min(bytes.size(), ends_ - head_.size());
    head_.append(bytes.substr(0, toHead));
    bytes.remove_prefix(toHead);
    if (bytes.size() >= ends_) {
      tail_.assign(bytes.substr(bytes.size() - ends_));
      tailStart_ = 0;
      return;
    }
    // A ring of `ends_` bytes; once full, tailStart_ is where its oldest byte is.
    if (tail_.size() < ends_) {
      const std::size_t fill = std::min(bytes.size(), ends_ - tail_.size());
      tail_.append(bytes.substr(0, fill));
      bytes.remove_prefix(fill);
    }
    while (!bytes.empty()) {
      const std::size_t piece = std::min(bytes.size(), ends_ - tailStart_);
      std::memcpy(tail_.data() + tailStart_, bytes.data(), piece);
      tailStart_ = (tailStart_ + piece) % ends_;
      bytes.remove_prefix(piece);
    }
  }
  std::string tailInOrder() const { return tail_.substr(tailStart_) + tail_.substr(0, tailStart_); }
  static Data shared(std::string text) {
    if (text.empty()) return Data{};
    auto owner = std::make_shared<const std::string>(std::move(text));
    const std::string_view bytes(*owner);
    return Data(std::move(owner), bytes);
  }

  std::size_t ends_;
  std::size_t total_ = 0;
  std::string head_;
  std::string tail_;
  std::size_t tailStart_ = 0;
  std::vector<char> scratch_;
};

// Every descriptor from `from` up is closed, but `keep`.
void closeFrom(int from, int keep) {
  if (keep >= from) {
    if (keep > from) ::syscall(SYS_close_range, from, keep - 1, 0);
    from = keep + 1;
  }
  ::syscall(SYS_close_range, from, ~0U, 0);
}

// `fd` as descriptor `target` of a child about to exec; a pipe end that
// already is `target` only loses its close-on-exec flag.
void placeDescriptor(int fd, int target) {
  if (fd == target) {
    ::fcntl(fd, F_SETFD, 0);
  } else {
    ::dup2(fd, target);
  }
}

// What the updater's child does between fork and exec; only calls that are
// safe in the child of a threaded process. A failure's errno goes to `report`
// (closed on exec, so an empty report means the updater runs).
[[noreturn]] void becomeUpdater(const char* path, char* const* argv, pid_t program, int out, int err,
                                int report) {
  // A group of its own, so that ending it ends whatever it started too.
  ::setpgid(0, 0);
  // A background thread may block signals, and a broken pipe may be ignored
  // here; the updater starts with neither.
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &fallback, nullptr);
  placeDescriptor(out, STDOUT_FILENO);
  placeDescriptor(err, STDERR_FILENO);
  // Nothing of ours beyond the three standard streams reaches the updater,
  // not even a descriptor another thread opened without close-on-exec.
  closeFrom(STDERR_FILENO + 1, report);
  // The kernel ends the updater when the thread that forked it ends; that is
  // the thread waiting for it, which returns only once the updater is gone,
  // so this fires when the program dies, however it dies. The signal is armed
  // only for a parent still alive: one already gone leaves nobody to run for.
  int error = 0;
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
    error = errno;
  } else if (::getppid() != program) {
    error = ESRCH;
  } else {
    ::execve(path, argv, environ);
    error = errno;
  }
  while (::write(report, &error, sizeof error) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

// A process that outlives the program by a moment: it waits for the end of a
// pipe that only the program holds, which the kernel closes when the program
// dies, and then ends the updater's group, so that what the updater started
// goes too. The program stands it down (SIGKILL, then reaps it) at the end of
// every run, so it never ends a group on its own while the program lives.
class GroupWatcher {
 public:
  explicit GroupWatcher(pid_t group) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    UniqueFd watched(ends[0]);
    held_ = UniqueFd(ends[1]);
    pid_ = ::fork();
    if (pid_ == 0) watch(watched.get(), group);
    if (pid_ < 0) held_.reset();
  }
  ~GroupWatcher() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  GroupWatcher(const GroupWatcher&) = delete;
  GroupWatcher& operator=(const GroupWatcher&) = delete;

 private:
  [[noreturn]] static void watch(int watched, pid_t group) {
    // The terminal's and the session's polite signals reach the program,
    // which ends the updater itself; the watcher is there for the other ends.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::sigaction(signal, &ignore, nullptr);
    closeFrom(0, watched);
    char byte = 0;
    while (::read(watched, &byte, 1) < 0 && errno == EINTR) {
    }
    ::kill(-group, SIGKILL);
    ::_exit(0);
  }

  UniqueFd held_;
  pid_t pid_ = -1;
};

// Whether a process group still has a member that runs: a member that has
// ended but is not yet reaped by whoever inherited it counts for kill(2), not
// here, so only /proc can tell (when it cannot, kill's answer stands).
bool groupLives(pid_t group) {
  if (::kill(-group, 0) != 0) return false;
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return true;
  char text[512];
  while (const dirent* entry = ::readdir(proc.get())) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    const std::string path = std::string("/proc/") + entry->d_name + "/stat";
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) continue;
    const ssize_t n = ::read(fd.get(), text, sizeof text - 1);
    if (n <= 0) continue;
    text[n] = '\0';
    // "pid (name) state ppid pgrp ...": the name may hold anything but ends at the last ')'.
    const char* close = std::strrchr(text, ')');
    char state = 0;
    int parent = 0;
    int pgrp = 0;
    if (close == nullptr || std::sscanf(close + 1, " %c %d %d", &state, &parent, &pgrp) != 3) continue;
    if (pgrp == group && state != 'Z' && state != 'X') return true;
  }
  return false;
}

// The updater's process and its group: reaped once, after its group has been
// signalled, so that the group's id cannot have been given to anyone else;
// ended with its whole group (politely, then not) when stopped or when
// dropped before it exited, so that nothing it started outlives the wait.
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : pid_(pid), pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}
  ~ChildProcess() {
    if (!reaped_) stop();
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Readable once the process has exited; -1 when the kernel has no pidfd
  // (the caller then looks every tick) or once it is reaped.
  [[nodiscard]] int exitFd() const { return reaped_ ? -1 : pidfd_.get(); }
  [[nodiscard]] bool reaped() const { return reaped_; }
  [[nodiscard]] int status() const { return status_; }

  // Whether the process has exited; it is left unreaped, so that its group's
  // id stays its own until the group has been ended.
  bool exited() const { return reaped_ || hasExited(); }

  // For an updater that has exited and whose output is read: whatever it left
  // in its group is asked to end, the updater reaped, and once the group is
  // empty, or a moment later, what is left of it is killed. The group's id
  // cannot be given to anyone else while any member of it lives.
  void endGroup() {
    if (reaped_) return;
    ::kill(-pid_, SIGTERM);
    reap();
    const auto until = Clock::now() + kLeftoverGrace;
    while (groupLives(pid_)) {
      if (Clock::now() >= until) {
        ::kill(-pid_, SIGKILL);
        break;
      }
      ::poll(nullptr, 0, static_cast<int>(kLeftoverTick.count()));
    }
  }

  // SIGTERM to the group; SIGKILL to the group if the process has not exited
  // within the grace; the process is reaped only after the group was
  // signalled, so the group's id cannot have been given to anyone else.
  void stop() {
    if (reaped_) return;
    ::kill(-pid_, SIGTERM);
    const auto until = Clock::now() + kStopGrace;
    while (!hasExited() && Clock::now() < until) waitForExit(until);
    ::kill(-pid_, SIGKILL);
    reap();
  }

 private:
  bool hasExited() const {
    siginfo_t info{};
    int r = 0;
    do {
      r = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (r < 0 && errno == EINTR);
    // ECHILD: someone else reaped it; there is nothing left to wait for.
    return r < 0 || info.si_pid == pid_;
  }
  void waitForExit(Clock::time_point until) const {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()) +
                std::chrono::milliseconds(1);
    if (pidfd_.valid()) {
      pollfd fd{pidfd_.get(), POLLIN, 0};
      ::poll(&fd, 1, static_cast<int>(left.count()));
    } else {
      ::poll(nullptr, 0, static_cast<int>(std::min(left, kCancellationTick).count()));
    }
  }
  void reap() {
    int status = 0;
    pid_t r = 0;
    do {
      r = ::waitpid(pid_, &status, 0);
    } while (r < 0 && errno == EINTR);
    status_ = r == pid_ ? status : 0;
    reaped_ = true;
    pidfd_.reset();
  }

  pid_t pid_;
  UniqueFd pidfd_;
  bool reaped_ = false;
  int status_ = 0;
};

int millisecondsUntil(Clock::time_point when) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now());
  return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 1 << 30));
}

}  // namespace

Outcome<TaskResult> PosixFoundation::runTask(const URL& executable, const std::vector<std::string>& arguments,
                                             const TaskOptions& options) {
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

  std::vector<std::string> argvText;
  argvText.push_back(path);
  argvText.insert(argvText.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  argv.reserve(argvText.size() + 1);
  for (std::string& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);

  int reportPipe[2];
  if (::pipe2(reportPipe, O_CLOEXEC) != 0) return posixFailure(errno, what);
  UniqueFd reportRead(reportPipe[0]);
  UniqueFd reportWrite(reportPipe[1]);
  const pid_t program = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return posixFailure(errno, what);
  if (pid == 0)
    becomeUpdater(path.c_str(), argv.data(), program, outWrite.get(), errWrite.get(), reportWrite.get());
  reportWrite.reset();
  int spawnError = 0;
  ssize_t reported = 0;
  do {
    reported = ::read(reportRead.get(), &spawnError, sizeof spawnError);
  } while (reported < 0 && errno == EINTR);
  if (reported > 0) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return posixFailure(spawnError, what);
  }
  // Declared before the child, so it is stood down after the group is ended.
  const GroupWatcher watcher(pid);
  const auto launched = Clock::now();
  ChildProcess child(pid);
  outWrite.reset();
  errWrite.reset();

  Collector out(options.standardOutputLimit);
  std::optional<Collector> wholeErr;
  std::optional<BoundedCollector> boundedErr;
  if (options.standardErrorEnds > 0) {
    boundedErr.emplace(options.standardErrorEnds);
  } else {
    wholeErr.emplace();
  }
  auto readErr = [&](int& error) {
    return boundedErr ? boundedErr->readFrom(errRead.get(), error) : wholeErr->readFrom(errRead.get(), error);
  };
  const auto deadline = options.timeLimit > 0
                            ? launched + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(options.timeLimit))
                            : Clock::time_point::max();
  const Cancellation* cancellation = options.cancellation;

  int readError = 0;
  bool timedOut = false;
  ::fcntl(outRead.get(), F_SETFL, O_NONBLOCK);
  ::fcntl(errRead.get(), F_SETFL, O_NONBLOCK);
  bool outOpen = true;
  bool errOpen = true;
  std::optional<Clock::time_point> readUntil;  // set once the updater has exited
  while (true) {
    if (!readUntil && child.exited()) readUntil = Clock::now() + kExitedReadGrace;
    if (readUntil && ((!outOpen && !errOpen) || Clock::now() >= *readUntil)) break;
    if (!readUntil) {
      if (cancellation != nullptr && cancellation->isCancelled()) {
        child.stop();
        return cancelledError();
      }
      if (Clock::now() >= deadline) {
        child.stop();
        timedOut = true;
        break;
      }
    }
    Clock::time_point wake = deadline;
    const bool ticking = !readUntil && (cancellation != nullptr || child.exitFd() < 0);
    if (ticking) wake = std::min(wake, Clock::now() + kCancellationTick);
    pollfd fds[3] = {{outOpen ? outRead.get() : -1, POLLIN, 0},
                     {errOpen ? errRead.get() : -1, POLLIN, 0},
                     {readUntil ? -1 : child.exitFd(), POLLIN, 0}};
    // Once it has exited, what the pipes hold now is all of its output.
    const int timeout = readUntil ? 0 : wake == Clock::time_point::max() ? -1 : millisecondsUntil(wake);
    const int ready = ::poll(fds, 3, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      readError = errno;
      break;
    }
    if (ready == 0 && readUntil) break;
    if (outOpen && fds[0].revents != 0) outOpen = out.readFrom(outRead.get(), readError);
    if (errOpen && fds[1].revents != 0) errOpen = readErr(readError);
    if (readError != 0) break;
  }
  // Closing our ends lets anything still writing to them end instead of
  // waiting on us forever.
  outRead.reset();
  errRead.reset();
  if (readError != 0) {
    child.stop();
    return posixFailure(readError, "read the output of \"" + path + "\"");
  }
  // Nothing the updater started outlives its run.
  child.endGroup();

  const int status = child.status();
  TaskResult result;
  result.timedOut = timedOut;
  if (WIFEXITED(status)) {
    result.terminationStatus = WEXITSTATUS(status);
  } else {
    result.terminatedBySignal = true;
    result.terminationStatus = WIFSIGNALED(status) ? WTERMSIG(status) : 1;
  }
  result.standardOutputLeftOut = out.leftOut();
  result.standardOutput = out.take();
  if (boundedErr) {
    boundedErr->take(result);
  } else {
    result.standardError = wholeErr->take();
  }
  return result;
}

}  // namespace vorn::platform::posix
