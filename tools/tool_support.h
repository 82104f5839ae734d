// What the updater, the receipt writer and the native host share: where a
// setup lives, how it is remembered and confirmed, and writing a file so that
// no reader ever sees half of it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "confirm/setup_receipt.h"
#include "platform/posix/posix_fd.h"

namespace vorn::tools {

inline constexpr std::string_view kDataFolderName = "vorn-preview";
inline constexpr std::string_view kExtensionFolderName = "extension";
inline constexpr std::string_view kLastSetupFileName = "last-setup.json";
// A record is a few hundred bytes; a longer file is not ours, and is never
// read whole.
inline constexpr std::size_t kLargestLastSetup = std::size_t{64} * 1024;

// The browser extension in the folder confirms the setup through this native
// messaging host; only the extension's own origin may start it.
inline constexpr std::string_view kNativeHostName = "com.vorn.preview_setup";
inline constexpr std::string_view kNativeHostExecutable = "vorn-native-host";
inline constexpr std::string_view kExtensionOrigin = "chrome-extension://ldieoajldojdadeoenlijijeolcdiogl/";
// A failure that ends a tool with one line on standard error.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The user's data folder: $XDG_DATA_HOME when it is an absolute path,
// otherwise ~/.local/share.
std::filesystem::path userDataFolder();

// The user's config folder: $XDG_CONFIG_HOME when it is an absolute path,
// otherwise ~/.config.
std::filesystem::path userConfigFolder();

// <user data folder>/vorn-preview: the updater's own folder.
inline std::filesystem::path toolFolder() { return userDataFolder() / kDataFolderName; }

// What a setup reported, and what its receipt has to repeat.
struct Setup {
  std::string folder;
  std::string token;
  std::string version;
};

std::string encodeSetup(const Setup& setup);
// The setup that the updater remembered last; fails when there is none.
Setup readLastSetup();

// The folder that a receipt for `folder` goes into: its parent, also when
// `folder` ends with a separator.
std::filesystem::path receiptFolderFor(const std::filesystem::path& folder);

// Writes the receipt that confirms `setup` beside its folder, stamped `age`
// seconds before now, and returns where it went.
std::filesystem::path writeReceipt(const Setup& setup, double age = 0);

// Writes `bytes` to a temporary file beside `path`, flushes it to disk and
// renames it over `path`: readers see the old file or the whole new one.
void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes);

// Whether `text` is valid UTF-8, which JSON needs of every string.
bool isUtf8(std::string_view text);

// `path` lexically normal and without a trailing separator, so that two
// spellings of one folder compare equal as paths.
std::filesystem::path normalFolder(const std::filesystem::path& path);

// Working below a folder by descriptor: a symbolic link below it is never
// followed, so nothing is written into or removed from where a link points.
// Failures are -errno, for the caller to word with describeFailure().

// Opens `root` (an absolute path, links in it followed: it is the user's own
// choice of folder) and, when `make`, makes its missing components, each
// added to `made`. Returns the descriptor or -errno.
int openRootFolder(const std::filesystem::path& root, bool make, std::vector<std::filesystem::path>* made);

// Opens the real folder `name` in `parent` (whose path is `parentPath`); when
// `make` and it is missing, makes it and adds it to `made`. A link there, even
// one that leads nowhere, stays as it is and gives -ELOOP.
int openFolderAt(int parent, const std::filesystem::path& parentPath, const std::string& name, bool make,
                 std::vector<std::filesystem::path>* made);

// "<path>: <why>" in plain words for a failure with `error` (an errno) at
// `name` in `parent`, telling a link that leads nowhere from one that leads
// somewhere.
std::string describeFailure(int parent, const std::filesystem::path& path, int error);

// writeFileAtomically() by descriptor: the temporary file and the rename stay
// inside `folder`; a link named `name` is refused, never written through.
void writeFileAtomicallyAt(int folder, const std::filesystem::path& folderPath, const std::string& name,
                           std::string_view bytes);

// The whole of the regular file `name` in `folder` when it holds at most
// `limit` bytes; nothing when it is missing. A link, anything but a regular
// file, or a longer file fails.
std::optional<std::string> readSmallFileAt(int folder, const std::filesystem::path& folderPath,
                                           const std::string& name, std::size_t limit);
// The same for a path: its folder is followed as named, the file never.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t limit);

// Removes `name` in `parent` and, when it is a real folder, everything in it,
// links as links. Each entry that cannot go adds one line to `failures`; a
// folder left non-empty by those adds none.
void removeTreeAt(int parent, const std::filesystem::path& parentPath, const std::string& name,
                  std::vector<std::string>& failures);

// 128 random bits from the kernel, as 32 lower-case hexadecimal digits.
std::string randomToken();

}  // namespace vorn::tools
