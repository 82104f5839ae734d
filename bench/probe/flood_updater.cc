// An updater that floods both of its streams before it prints its record:
// VORN_FLOOD_MIB MiB (256 unless set) of white space on standard output and as
// many bytes on standard error, interleaved in 64 KiB pieces so that a reader
// that drains one stream to its end before the other stalls it; then the
// record on standard output and exit 0. With VORN_FLOOD_STDERR_ONLY set, only
// standard error is flooded and the updater fails (exit 1), as one that
// reports a long trouble would.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::string_view(argv[1]) != "--setup") {
    const char usage[] = "usage: vorn-updater --setup\n";
    writeAll(2, usage, sizeof usage - 1);
    return 64;
  }
  const char* mibText = std::getenv("VORN_FLOOD_MIB");
  const long mib = mibText != nullptr ? std::strtol(mibText, nullptr, 10) : 256;
  constexpr std::size_t kPiece = std::size_t{64} * 1024;
  std::vector<char> blanks(kPiece, ' ');
  for (std::size_t i = 1023; i < kPiece; i += 1024) blanks[i] = '\n';
  std::vector<char> noise(kPiece, 'e');
  for (std::size_t i = 79; i < kPiece; i += 80) noise[i] = '\n';
  const long pieces = mib * 1024 * 1024 / static_cast<long>(kPiece);
  const bool errorOnly = std::getenv("VORN_FLOOD_STDERR_ONLY") != nullptr;
  for (long i = 0; i < pieces; ++i) {
    if (!errorOnly && !writeAll(1, blanks.data(), kPiece)) return 1;
    if (!writeAll(2, noise.data(), kPiece)) return 1;
  }
  if (errorOnly) return 1;
  const std::string record = R"({"folder":"/tmp/vorn-flood/extension","token":"t","version":"1"})"
                             "\n";
  return writeAll(1, record.data(), record.size()) ? 0 : 1;
}
