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
// the path and the rest (query and fragment, with their markers).
struct Parts {
  std::string head;
  std::string path;
  std::string tail;
};

Parts split(const std::string& text) {
  Parts parts;
  std::size_t pathStart = 0;
  if (text.starts_with(kFileScheme)) {
    pathStart = text.find('/', kFileScheme.size());
    if (pathStart == std::string::npos) pathStart = text.size();
  }
  std::size_t tailStart = text.find_first_of("?#", pathStart);
  if (tailStart == std::string::npos) tailStart = text.size();
  parts.head = text.substr(0, pathStart);
  parts.path = text.substr(pathStart, tailStart - pathStart);
  parts.tail = text.substr(tailStart);
  return parts;
}

// Dot-segment removal on an absolute path; a final "." or ".." leaves a
// trailing slash, as a folder URL would have.
std::string removeDotSegments(const std::string& path) {
  std::vector<std::string_view> segments;
  const std::string_view rest = std::string_view(path).substr(path.starts_with('/') ? 1 : 0);
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

}  // namespace

std::string percentEncodePath(std::string_view path) {
  static constexpr std::array<char, 16> kHex = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
  std::string out;
  out.reserve(path.size());
  for (unsigned char c : path) {
    if (pathSafe(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

std::string percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int hi = hexValue(text[i + 1]);
      const int lo = hexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

URL URL::fileURLWithPath(std::string_view path, bool isDirectory) {
  std::string absolute(path);
  if (!absolute.starts_with('/')) {
    std::vector<char> cwd(4096);
    std::string base = getcwd(cwd.data(), cwd.size()) != nullptr ? std::string(cwd.data()) : "/";
    if (!base.ends_with('/')) base += '/';
    absolute = base + absolute;
  }
  if (isDirectory && !absolute.ends_with('/')) absolute += '/';
  return URL(std::string(kFileScheme) + percentEncodePath(absolute));
}

URL URL::appendingPathComponent(std::string_view name, bool isDirectory) const {
  Parts p = split(text_);
  if (!p.path.ends_with('/')) p.path += '/';
  p.path += percentEncodePath(name);
  if (isDirectory && !p.path.ends_with('/')) p.path += '/';
  return URL(p.head + p.path + p.tail);
}

URL URL::deletingLastPathComponent() const {
  Parts p = split(text_);
  std::string path = p.path;
  while (path.size() > 1 && path.ends_with('/')) path.pop_back();
  const std::size_t slash = path.rfind('/');
  path = slash == std::string::npos ? std::string("/") : path.substr(0, slash + 1);
  return URL(p.head + path + p.tail);
}

URL URL::standardizedFileURL() const {
  if (!isFileURL()) return *this;
  Parts p = split(text_);
  return URL(p.head + removeDotSegments(p.path) + p.tail);
}

std::string URL::path() const {
  std::string decoded = percentDecode(split(text_).path);
  while (decoded.size() > 1 && decoded.ends_with('/')) decoded.pop_back();
  return decoded;
}

bool URL::isFileURL() const { return text_.starts_with(kFileScheme); }

}  // namespace vorn::platform
