// What the updater, the receipt writer and the native host share: where a
// setup lives, how it is remembered and confirmed, and writing a file so that
// no reader ever sees half of it.
#pragma once

#include <sys/types.h>

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

// The folder that an environment variable names, as the base directory rules
// take it: an absolute path, in its normal spelling. A relative value, or one
// with "." or ".." steps (which the kernel would resolve through links, and a
// lexical reading would not), is ignored with one line on standard error, once
// per process; an empty or missing one is ignored silently.
std::optional<std::filesystem::path> absoluteEnvironmentFolder(const char* name);

// The user's data folder: $XDG_DATA_HOME when absoluteEnvironmentFolder()
// takes it, otherwise ~/.local/share; normal, without a trailing separator.
std::filesystem::path userDataFolder();

// The user's config folder: $XDG_CONFIG_HOME likewise, otherwise ~/.config.
std::filesystem::path userConfigFolder();

// <user data folder>/vorn-preview: the tools' own folder. Every tool finds it
// here and nowhere else, so that they all mean the same folder.
inline std::filesystem::path toolFolder() { return userDataFolder() / kDataFolderName; }

// <tool folder>/extension, spelled exactly as setup reports it: the one folder
// a record may name.
inline std::filesystem::path extensionFolder() { return toolFolder() / kExtensionFolderName; }

// What a setup reported, and what its receipt has to repeat.
struct Setup {
  std::string folder;
  std::string token;
  std::string version;
};

std::string encodeSetup(const Setup& setup);

// Opens the tool folder as the updater reaches it: the data folder with the
// links in its path followed (the user's own choice of folder), then
// vorn-preview by descriptor, never through a link and never when another
// user owns it or may change it. Fails with ToolError in plain words, "no
// setup to confirm" when it is missing.
platform::posix::UniqueFd openToolFolder();

// The setup that the updater remembered last, read from `tool` (the open tool
// folder) as untrusted: a regular file of at most kLargestLastSetup bytes,
// never a link, with a token, a version and exactly extensionFolder() as its
// folder. Fails with ToolError in plain words.
Setup readLastSetupAt(int tool);
// The same, reaching the tool folder with openToolFolder().
Setup readLastSetup();

// The folder that a receipt for `folder` goes into: its parent, also when
// `folder` ends with a separator.
std::filesystem::path receiptFolderFor(const std::filesystem::path& folder);

// Writes the receipt that confirms `setup` into `tool`, the open tool folder
// (the parent of the only folder a setup may name), stamped `age` seconds
// before now, and returns where it went. A setup that names another folder is
// refused.
std::filesystem::path writeReceiptAt(int tool, const Setup& setup, double age = 0);
// The same, reaching the tool folder with openToolFolder().
std::filesystem::path writeReceipt(const Setup& setup, double age = 0);

// Writes `bytes` to a temporary file beside `path`, flushes it to disk and
// renames it over `path`: readers see the old file or the whole new one. The
// folder is followed as named; see writeFileAtomicallyAt().
void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes);

// Whether `text` is valid UTF-8, which JSON needs of every string.
bool isUtf8(std::string_view text);

// `path` lexically normal and without a trailing separator, so that two
// spellings of one folder compare equal as paths.
std::filesystem::path normalFolder(const std::filesystem::path& path);

// `path` fit for one line of a message, and for JSON: a backslash, a control
// character or a byte that is not UTF-8 is written as a backslash escape
// (\\, \n, \t, \r, \xNN); everything else is as it is.
std::string escapedPath(const std::filesystem::path& path);
std::string escapedText(std::string_view text);

// Working below a folder by descriptor: a symbolic link below it is never
// followed, so nothing is written into or removed from where a link points,
// and a folder below it that another user owns (root aside) or that group or
// others may write is refused, so no one else can swap what is in it.
// Failures are -errno, or -kOwnedByAnother / -kWritableByOthers, for the
// caller to word with describeFailure() or describeError().
inline constexpr int kOwnedByAnother = 0x10001;
inline constexpr int kWritableByOthers = 0x10002;

// Opens `root` (an absolute path, links in it followed: it is the user's own
// choice of folder) and, when `make`, makes its missing components, each
// added to `made`. Below the deepest folder that is there, each component is
// opened as openFolderAt() does. Returns the descriptor or -errno.
int openRootFolder(const std::filesystem::path& root, bool make, std::vector<std::filesystem::path>* made);

// Opens the real folder `name` in `parent` (whose path is `parentPath`); when
// `make` and it is missing, makes it (0755 less the umask) and adds it to
// `made`. A link there, even one that leads nowhere, stays as it is and gives
// -ELOOP; a folder of another user's gives -kOwnedByAnother, one that group or
// others may write -kWritableByOthers.
int openFolderAt(int parent, const std::filesystem::path& parentPath, const std::string& name, bool make,
                 std::vector<std::filesystem::path>* made);

// "<path>: <why>" in plain words for a failure with `error` (an errno, or one
// of the codes above) at `name` in `parent`, telling a link that leads nowhere
// from one that leads somewhere; the path escaped as escapedPath() does.
std::string describeFailure(int parent, const std::filesystem::path& path, int error);

// `error` (an errno, or one of the codes above) in plain words.
std::string describeError(int error);

// writeFileAtomically() by descriptor: the temporary file (temporaryNameOf())
// and the rename stay inside `folder`; a link named `name` is refused, never
// written through. The file is made `mode` (0644, or 0755 for a program) less
// the umask, as folders are made 0755 less it: the user's umask holds for
// both, and neither is ever open to group or others, which the folders below
// a root would be refused for. A program keeps its owner's execute bit
// whatever the umask, or nothing could start it.
void writeFileAtomicallyAt(int folder, const std::filesystem::path& folderPath, const std::string& name,
                           std::string_view bytes, mode_t mode = 0644);

// The name a file `name` is written under before it is renamed into place:
// "." + name + "." + 12 lower-case hexadecimal digits; and whether `entry` has
// that shape, for sweeping what a killed run left.
std::string temporaryNameOf(const std::string& name);
bool isTemporaryOf(std::string_view entry, std::string_view name);

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

// The version every tool and the setup it reports carry: the project's own.
inline constexpr std::string_view kVersion = VORN_VERSION;

// Whether the one argument asks for --version; if so, "<program> <version>"
// has been printed on standard output.
bool printedVersion(int argc, char** argv, std::string_view program);

}  // namespace vorn::tools
