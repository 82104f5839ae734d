#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "confirm/setup_receipt.h"
#include "confirm/text_equality.h"
#include "platform/json_decoding.h"

namespace vorn {
namespace {

using platform::DecodingErrorKind;

TEST(ReceiptDecoding, AcceptsTheRecordInAnyOrderWithExtras) {
  auto r = decodeSetupReceipt(
      " \n{\"createdAt\":1700000000.25,\"extra\":{\"token\":\"x\"},\"version\":\"1.2\",\"token\":"
      "\"t\\u00e9\\n\"}"
      "\t\r\n");
  ASSERT_TRUE(r) << r.error().localizedDescription;
  EXPECT_EQ(r.value().token, "t\xC3\xA9\n");
  EXPECT_EQ(r.value().version, "1.2");
  EXPECT_EQ(r.value().createdAt, 1700000000.25);

  auto whole = decodeSetupReceipt(R"({"token":"","version":"","createdAt":1700000000})");
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole.value().token, "");
  EXPECT_EQ(whole.value().createdAt, 1700000000.0);

  auto exponent = decodeSetupReceipt(R"({"token":"a","version":"b","createdAt":1.7e9})");
  ASSERT_TRUE(exponent);
  EXPECT_EQ(exponent.value().createdAt, 1.7e9);

  auto negative = decodeSetupReceipt(R"({"token":"a","version":"b","createdAt":-0.5})");
  ASSERT_TRUE(negative);
  EXPECT_EQ(negative.value().createdAt, -0.5);
}

TEST(ReceiptDecoding, PaddingAndRepeatedKeys) {
  const std::string record = R"({"token":"a","version":"b","createdAt":1})";
  // Any run of white space, of every kind, on either side is only padding.
  EXPECT_TRUE(decodeSetupReceipt(record + std::string(1000, ' ') + "\n\t\r \n"));
  EXPECT_TRUE(decodeSetupReceipt(std::string(1000, ' ') + "\n\t " + record));
  EXPECT_TRUE(decodeSetupReceipt("\xEF\xBB\xBF" + record + std::string(33, ' ')));
  EXPECT_TRUE(decodeSetupReceipt("\xEF\xBB\xBF \n" + std::string(40, ' ') + record));
  // What follows the padding still counts, and a byte-order mark only at the start.
  EXPECT_FALSE(decodeSetupReceipt(record + std::string(1000, ' ') + "x" + std::string(40, ' ')));
  EXPECT_FALSE(decodeSetupReceipt(" \xEF\xBB\xBF" + record));
  EXPECT_FALSE(decodeSetupReceipt(std::string(40, ' ') + "\xEF\xBB\xBF" + record));
  EXPECT_FALSE(decodeSetupReceipt(std::string(40, ' ') + "x" + record));
  EXPECT_FALSE(decodeSetupReceipt(record.substr(0, record.size() - 1) + std::string(64, ' ')));
  // A repeated member keeps its last value, whatever the first one was.
  auto twice = decodeSetupReceipt(R"({"token":{"a":1},"version":"b","createdAt":1,"token":"second"})");
  ASSERT_TRUE(twice) << twice.error().localizedDescription;
  EXPECT_EQ(twice.value().token, "second");
  auto nowNull = decodeSetupReceipt(R"({"token":"first","version":"b","createdAt":1,"token":null})");
  ASSERT_FALSE(nowNull);
  EXPECT_EQ(platform::decodingErrorKind(nowNull.error()), DecodingErrorKind::NullValue);
}

TEST(ReceiptDecoding, RefusesEverythingElseWithItsKind) {
  struct Case {
    const char* bytes;
    DecodingErrorKind kind;
  };
  const Case cases[] = {
      {"", DecodingErrorKind::MalformedData},
      {" \n ", DecodingErrorKind::MalformedData},
      {R"({"token":"t","version":"v","createdAt":1} x)", DecodingErrorKind::MalformedData},
      {R"({"token":"t","version":"v","createdAt":1}{})", DecodingErrorKind::MalformedData},
      {R"({"token":"t","version":"v","createdAt":1,})", DecodingErrorKind::MalformedData},
      {R"({"token":"t",/*c*/"version":"v","createdAt":1})", DecodingErrorKind::MalformedData},
      {R"({token:"t","version":"v","createdAt":1})", DecodingErrorKind::MalformedData},
      {R"({"token":"t","version":"v","createdAt":NaN})", DecodingErrorKind::MalformedData},
      {R"({"token":"t","version":"v","createdAt":Infinity})", DecodingErrorKind::MalformedData},
      {R"({"token":"t","version":"v","createdAt":1e400})", DecodingErrorKind::MalformedData},
      {"{\"token\":\"t\xFF\",\"version\":\"v\",\"createdAt\":1}", DecodingErrorKind::MalformedData},
      {R"([{"token":"t","version":"v","createdAt":1}])", DecodingErrorKind::WrongTopLevelType},
      {R"("{}")", DecodingErrorKind::WrongTopLevelType},
      {"null", DecodingErrorKind::WrongTopLevelType},
      {"12", DecodingErrorKind::WrongTopLevelType},
      {R"({"version":"v","createdAt":1})", DecodingErrorKind::MissingKey},
      {R"({"Token":"t","version":"v","createdAt":1})", DecodingErrorKind::MissingKey},
      {R"({"token":"t","VERSION":"v","createdAt":1})", DecodingErrorKind::MissingKey},
      {R"({"token":"t","version":"v","createdat":1})", DecodingErrorKind::MissingKey},
      {R"({"token":"t","version":"v","CreatedAt":1})", DecodingErrorKind::MissingKey},
      {R"({"token":null,"version":"v","createdAt":1})", DecodingErrorKind::NullValue},
      {R"({"token":"t","version":"v","createdAt":null})", DecodingErrorKind::NullValue},
      {R"({"token":1,"version":"v","createdAt":1})", DecodingErrorKind::TypeMismatch},
      {R"({"token":"t","version":["v"],"createdAt":1})", DecodingErrorKind::TypeMismatch},
      {R"({"token":"t","version":"v","createdAt":"1700000000"})", DecodingErrorKind::TypeMismatch},
      {R"({"token":"t","version":"v","createdAt":true})", DecodingErrorKind::TypeMismatch},
      {R"({"token":"t","version":"v","createdAt":{}})", DecodingErrorKind::TypeMismatch},
  };
  for (const Case& c : cases) {
    auto r = decodeSetupReceipt(c.bytes);
    ASSERT_FALSE(r) << c.bytes;
    EXPECT_EQ(platform::decodingErrorKind(r.error()), c.kind) << c.bytes;
    EXPECT_EQ(r.error().domain, platform::kDecodingErrorDomain);
    EXPECT_FALSE(r.error().localizedDescription.empty());
  }
}

TEST(ReceiptTextEquality, CanonicalEquivalenceButNothingLooser) {
  const std::string composed = "caf\xC3\xA9";     // é as one code point
  const std::string decomposed = "cafe\xCC\x81";  // e + combining acute
  const std::string angstrom = "\xE2\x84\xAB";    // U+212B ANGSTROM SIGN
  const std::string ringA = "\xC3\x85";           // U+00C5
  EXPECT_TRUE(canonicallyEqual(composed, decomposed));
  EXPECT_TRUE(canonicallyEqual(decomposed, composed));
  EXPECT_TRUE(canonicallyEqual(angstrom, ringA));
  EXPECT_TRUE(canonicallyEqual("", ""));
  EXPECT_TRUE(canonicallyEqual("abc", "abc"));

  EXPECT_FALSE(canonicallyEqual("", "a"));
  EXPECT_FALSE(canonicallyEqual("abc", "ABC"));
  EXPECT_FALSE(canonicallyEqual("abc", "abc "));
  EXPECT_FALSE(canonicallyEqual(" abc", "abc"));
  EXPECT_FALSE(canonicallyEqual(composed, "CAF\xC3\x89"));
  EXPECT_FALSE(canonicallyEqual("\xEF\xAC\x81", "fi"));  // compatibility only (ligature)
  EXPECT_FALSE(canonicallyEqual(std::string("a\0b", 3), "a"));
}

TEST(ReceiptTextEquality, IllFormedUtf8EqualsOnlyItself) {
  EXPECT_TRUE(canonicallyEqual("t\xFF", "t\xFF"));
  // Both would become U+FFFD if converted leniently.
  EXPECT_FALSE(canonicallyEqual("t\xFF", "t\xFE"));
  EXPECT_FALSE(canonicallyEqual("t\xFF", "t\xEF\xBF\xBD"));
  EXPECT_FALSE(canonicallyEqual("\xED\xA0\x80", "\xED\xA0\x81"));  // encoded surrogates
  EXPECT_FALSE(canonicallyEqual("caf\xC3", "caf"));                // cut sequence
}

}  // namespace
}  // namespace vorn
