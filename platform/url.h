// File URLs as the web engine spells them, and the standardisation both the
// navigation policy and the bridge compare with.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorn::platform {

class URL {
 public:
  URL() = default;
  // Takes the text as the engine reports it; nothing is re-encoded.
  explicit URL(std::string text) : text_(std::move(text)) {}

  // An absolute path becomes file:///…, each byte outside the path-safe set
  // percent-encoded exactly as the desktop engine expects (and reports back).
  // A relative path is taken against the current working folder.
  static URL fileURLWithPath(std::string_view path, bool isDirectory = false);

  [[nodiscard]] URL appendingPathComponent(std::string_view name, bool isDirectory = false) const;
  // Drops the last component; a trailing slash does not count as one.
  [[nodiscard]] URL deletingLastPathComponent() const;
  // For a file URL: "." segments removed, each ".." removed with the segment
  // before it. Any other URL comes back unchanged.
  [[nodiscard]] URL standardizedFileURL() const;
  // The decoded file-system path, without a trailing slash (except "/").
  [[nodiscard]] std::string path() const;
  [[nodiscard]] bool isFileURL() const;

  [[nodiscard]] const std::string& absoluteString() const { return text_; }
  friend bool operator==(const URL&, const URL&) = default;

 private:
  std::string text_;
};

// Percent-encodes a file-system path the way the desktop engine's own
// filename-to-URI routine does (upper-case hex, '/' kept).
std::string percentEncodePath(std::string_view path);
std::string percentDecode(std::string_view text);

}  // namespace vorn::platform
