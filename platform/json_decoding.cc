#include "platform/json_decoding.h"

#include <cstdint>
#include <optional>
#include <string>

namespace vorn::platform {
namespace {

using Json = nlohmann::json;
using Type = Json::value_t;

Error decodingError(DecodingErrorKind kind, std::string description) {
  return Error{std::string(kDecodingErrorDomain), static_cast<int>(kind), std::move(description)};
}

bool isJsonWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

constexpr std::string_view kSpaces = "                ";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Both scans take runs of spaces sixteen at a time: padding is mostly spaces.
std::size_t leadingWhiteSpace(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (text.substr(i, kSpaces.size()) == kSpaces) {
      i += kSpaces.size();
    } else if (isJsonWhiteSpace(text[i])) {
      ++i;
    } else {
      break;
    }
  }
  return i;
}

std::string_view withoutTrailingWhiteSpace(std::string_view text) {
  while (!text.empty()) {
    if (text.ends_with(kSpaces)) {
      text.remove_suffix(kSpaces.size());
    } else if (isJsonWhiteSpace(text.back())) {
      text.remove_suffix(1);
    } else {
      break;
    }
  }
  return text;
}

std::string typeName(Type type) {
  switch (type) {
    case Type::object:
      return "an object";
    case Type::array:
      return "an array";
    case Type::string:
      return "a string";
    case Type::boolean:
      return "a boolean";
    case Type::null:
      return "null";
    default:
      return "a number";
  }
}

// Walks the parser's events and keeps the wanted members of the top-level
// object; building the whole document would cost far more than the parse.
class MemberCollector final : public nlohmann::json_sax<Json> {
 public:
  explicit MemberCollector(std::initializer_list<std::string_view> keys)
      : keys_(keys), values_(keys.size()), current_(keys.size()) {}

  bool null() override { return scalar(Type::null); }
  bool boolean(bool /*value*/) override { return scalar(Type::boolean); }
  bool number_integer(number_integer_t value) override {
    return scalar(Type::number_integer, static_cast<double>(value));
  }
  bool number_unsigned(number_unsigned_t value) override {
    return scalar(Type::number_unsigned, static_cast<double>(value));
  }
  bool number_float(number_float_t value, const string_t& /*text*/) override {
    return scalar(Type::number_float, value);
  }
  bool string(string_t& value) override {
    if (MemberValue* member = wanted()) {
      member->present = true;
      member->type = Type::string;
      member->text = std::move(value);
    }
    noteTopLevel(Type::string);
    return true;
  }
  bool binary(binary_t& /*value*/) override { return scalar(Type::binary); }
  bool start_object(std::size_t /*size*/) override { return open(Type::object); }
  bool end_object() override { return close(); }
  bool start_array(std::size_t /*size*/) override { return open(Type::array); }
  bool end_array() override { return close(); }
  bool key(string_t& name) override {
    if (depth_ == 1) {
      current_ = keys_.size();
      for (std::size_t i = 0; i < keys_.size(); ++i) {
        if (keys_.begin()[i] == name) current_ = i;
      }
    }
    return true;
  }
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& /*error*/) override {
    return false;
  }

  [[nodiscard]] Type topLevelType() const { return top_; }
  std::vector<MemberValue> take() { return std::move(values_); }

 private:
  // The member a value at this point belongs to, if it is a wanted one.
  MemberValue* wanted() { return depth_ == 1 && current_ < values_.size() ? &values_[current_] : nullptr; }
  void noteTopLevel(Type type) {
    if (depth_ == 0) top_ = type;
  }
  bool scalar(Type type, double number = 0) {
    if (MemberValue* member = wanted()) {
      member->present = true;
      member->type = type;
      member->text.clear();
      member->number = number;
    }
    noteTopLevel(type);
    return true;
  }
  bool open(Type type) {
    if (MemberValue* member = wanted()) {
      member->present = true;
      member->type = type;
      member->text.clear();
    }
    noteTopLevel(type);
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  std::initializer_list<std::string_view> keys_;
  std::vector<MemberValue> values_;
  std::size_t depth_ = 0;
  std::size_t current_;  // the wanted member being read; keys_.size() for none
  Type top_ = Type::discarded;
};

Error typeMismatch(std::string_view key, std::string_view recordName, Type type, std::string_view wanted) {
  return decodingError(DecodingErrorKind::TypeMismatch,
                       "The \"" + std::string(key) + "\" member of the " + std::string(recordName) + " is " +
                           typeName(type) + " instead of " + std::string(wanted) + ".");
}

// Why the member cannot be used at all, if it cannot.
std::optional<Error> absence(const MemberValue& member, std::string_view key, std::string_view recordName) {
  if (!member.present) {
    return decodingError(DecodingErrorKind::MissingKey,
                         "The " + std::string(recordName) + " has no \"" + std::string(key) + "\" member.");
  }
  if (member.type == Type::null) {
    return decodingError(DecodingErrorKind::NullValue, "The \"" + std::string(key) + "\" member of the " +
                                                           std::string(recordName) + " is null.");
  }
  return std::nullopt;
}

}  // namespace

Outcome<std::vector<MemberValue>> decodeTopLevelMembers(std::string_view bytes,
                                                        std::initializer_list<std::string_view> keys,
                                                        std::string_view recordName) {
  // White space around the document changes nothing about it, but the
  // parser's lexer takes it byte by byte and keeps a copy for its messages:
  // a receipt may be padded with a kilobyte of it, an updater's output with
  // any amount. A byte-order mark counts only at the very start, so when one
  // follows leading white space the text goes to the parser as it is (and is
  // refused there).
  std::string_view document = withoutTrailingWhiteSpace(bytes);
  const std::string_view trimmed = document.substr(leadingWhiteSpace(document));
  if (!trimmed.starts_with(kByteOrderMark)) document = trimmed;

  MemberCollector collector(keys);
  if (!Json::sax_parse(document.begin(), document.end(), &collector)) {
    return decodingError(DecodingErrorKind::MalformedData,
                         document.find_first_not_of(" \t\r\n") == std::string_view::npos
                             ? "The " + std::string(recordName) + " is empty."
                             : "The " + std::string(recordName) + " is not valid JSON.");
  }
  if (collector.topLevelType() != Type::object) {
    return decodingError(DecodingErrorKind::WrongTopLevelType, "The " + std::string(recordName) + " is " +
                                                                   typeName(collector.topLevelType()) +
                                                                   " instead of an object.");
  }
  return collector.take();
}

Outcome<std::string> decodeStringMember(MemberValue& member, std::string_view key,
                                        std::string_view recordName) {
  if (auto error = absence(member, key, recordName)) return *error;
  if (member.type != Type::string) return typeMismatch(key, recordName, member.type, "a string");
  return std::move(member.text);
}

Outcome<double> decodeNumberMember(const MemberValue& member, std::string_view key,
                                   std::string_view recordName) {
  if (auto error = absence(member, key, recordName)) return *error;
  const bool number = member.type == Type::number_integer || member.type == Type::number_unsigned ||
                      member.type == Type::number_float;
  if (!number) return typeMismatch(key, recordName, member.type, "a number");
  return member.number;
}

}  // namespace vorn::platform
