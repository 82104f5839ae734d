#include "platform/url.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <vector>

namespace vorn::platform {
namespace {

constexpr std::string_view kFileScheme = "file://";

// Characters kept as they are in a path, matching the engine's own encoder:
// unreserved characters and ! $ & ' ( ) * + , = : @ /
bool pathSafe(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case '=':
    case ':':
    case '@':
    case '/':
      return true;
    default:
      return false;
  }
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Splits "file://host/path?query#fragment" into the part before the path,
// the path and the rest (query and fragment, with their markers). Views into
// the text: the watcher splits on every tick, so nothing is copied here.
struct Parts {
  std::string_view head;
  std::string_view path;
  std::string_view tail;
};

Parts split(std::string_view text) {
  std::size_t pathStart = 0;
  if (text.starts_with(kFileScheme)) {
    pathStart = std::min(text.find('/', kFileScheme.size()), text.size());
  }
  std::size_t tailStart = pathStart;
  while (tailStart < text.size() && text[tailStart] != '?' && text[tailStart] != '#') ++tailStart;
  return Parts{text.substr(0, pathStart), text.substr(pathStart, tailStart - pathStart),
               text.substr(tailStart)};
}

std::string joined(std::string_view head, std::string_view path, std::string_view tail) {
  std::string text;
  text.reserve(head.size() + path.size() + tail.size());
  text.append(head).append(path).append(tail);
  return text;
}

// Dot-segment removal on an absolute path; a final "." or ".." leaves a
// trailing slash, as a folder URL would have.
std::string removeDotSegments(std::string_view path) {
  std::vector<std::string_view> segments;
  const std::string_view rest = path.substr(path.starts_with('/') ? 1 : 0);
  std::size_t i = 0;
  while (true) {
    const std::size_t j = std::min(rest.find('/', i), rest.size());
    const std::string_view seg = rest.substr(i, j - i);
    const bool last = j == rest.size();
    if (seg == "." || seg == "..") {
      if (seg == ".." && !segments.empty()) segments.pop_back();
      if (last) segments.emplace_back();
    } else {
      segments.push_back(seg);
    }
    if (last) break;
    i = j + 1;
  }
  std::string result = path.starts_with('/') ? "/" : "";
  for (std::size_t k = 0; k < segments.size(); ++k) {
    if (k > 0) result += '/';
    result += segments[k];
  }
  return result;
}

// Both codecs copy runs of unchanged bytes at once: most paths have nothing to
// encode or decode.
void appendPercentEncoded(std::string& out, std::string_view path) {
  static constexpr std::array<char, 16> kHex = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t safe = i;
    while (safe < path.size() && pathSafe(static_cast<unsigned char>(path[safe]))) ++safe;
    out.append(path.substr(i, safe - i));
    if (safe == path.size()) break;
    const auto c = static_cast<unsigned char>(path[safe]);
    const char escaped[3] = {'%', kHex[c >> 4], kHex[c & 0xF]};
    out.append(escaped, 3);
    i = safe + 1;
  }
}

}  // namespace

std::string percentEncodePath(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  appendPercentEncoded(out, path);
  return out;
}

std::string percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t percent = std::min(text.find('%', i), text.size());
    out.append(text.substr(i, percent - i));
    if (percent == text.size()) break;
    const int hi = percent + 2 < text.size() ? hexValue(text[percent + 1]) : -1;
    const int lo = hi >= 0 ? hexValue(text[percent + 2]) : -1;
    if (lo >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i = percent + 3;
    } else {
      out += '%';
      i = percent + 1;
    }
  }
  return out;
}

URL URL::fileURLWithPath(std::string_view path, bool isDirectory) {
  std::string text(kFileScheme);
  text.reserve(kFileScheme.size() + path.size() + 1);
  if (!path.starts_with('/')) {
    std::vector<char> cwd(4096);
    std::string base = getcwd(cwd.data(), cwd.size()) != nullptr ? std::string(cwd.data()) : "/";
    if (!base.ends_with('/')) base += '/';
    appendPercentEncoded(text, base);
  }
  appendPercentEncoded(text, path);
  if (isDirectory && !text.ends_with('/')) text += '/';
  return URL(std::move(text));
}

URL URL::appendingPathComponent(std::string_view name, bool isDirectory) const {
  const Parts p = split(text_);
  std::string text;
  text.reserve(p.head.size() + p.path.size() + 1 + 3 * name.size() + 1 + p.tail.size());
  text.append(p.head).append(p.path);
  if (!text.ends_with('/')) text += '/';
  appendPercentEncoded(text, name);
  if (isDirectory && !text.ends_with('/')) text += '/';
  text.append(p.tail);
  return URL(std::move(text));
}

URL URL::deletingLastPathComponent() const {
  const Parts p = split(text_);
  std::string_view path = p.path;
  while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  return URL(joined(p.head, slash == std::string_view::npos ? "/" : path.substr(0, slash + 1), p.tail));
}

URL URL::standardizedFileURL() const {
  if (!isFileURL()) return *this;
  const Parts p = split(text_);
  return URL(joined(p.head, removeDotSegments(p.path), p.tail));
}

std::string URL::path() const {
  std::string decoded = percentDecode(split(text_).path);
  while (decoded.size() > 1 && decoded.ends_with('/')) decoded.pop_back();
  return decoded;
}

bool URL::isFileURL() const { return text_.starts_with(kFileScheme); }

}  // namespace vorn::platform
