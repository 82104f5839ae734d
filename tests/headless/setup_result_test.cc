#include "install/setup_result.h"

#include <gtest/gtest.h>

#include "platform/json_decoding.h"

namespace vorn {
namespace {

using platform::DecodingErrorKind;

TEST(SetupResultDecoding, AcceptsTheRecordInAnyOrderWithExtras) {
  auto r = decodeSetupResult(
      "\n {\"version\":\"1.2\",\"extra\":[1,{\"x\":null}],\"token\":\"t\\u00e9\\/\",\"folder\":\"/a "
      "b/\",\"n\":null}\n");
  ASSERT_TRUE(r) << r.error().localizedDescription;
  EXPECT_EQ(r.value().folder, "/a b/");
  EXPECT_EQ(r.value().token, "t\xC3\xA9/");
  EXPECT_EQ(r.value().version, "1.2");

  auto empty = decodeSetupResult(R"({"folder":"","token":"","version":""})");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty.value().folder, "");
}

TEST(SetupResultDecoding, RefusesEverythingElseWithItsKind) {
  struct Case {
    const char* bytes;
    DecodingErrorKind kind;
    const char* mentions;
  };
  const Case cases[] = {
      {"", DecodingErrorKind::MalformedData, "empty"},
      {"   \n", DecodingErrorKind::MalformedData, "empty"},
      {"starting\n{\"folder\":\"f\",\"token\":\"t\",\"version\":\"v\"}", DecodingErrorKind::MalformedData,
       "JSON"},
      {"{\"folder\":\"f\",\"token\":\"t\",\"version\":\"v\"}{}", DecodingErrorKind::MalformedData, "JSON"},
      {"{\"folder\":\"f\",\"token\":\"t\",\"version\":\"v\"} x", DecodingErrorKind::MalformedData, "JSON"},
      {"{\"folder\":\"f\",\"token\":\"t\",\"version\":\"v\",}", DecodingErrorKind::MalformedData, "JSON"},
      {"{\"folder\":\"f\",/*c*/\"token\":\"t\",\"version\":\"v\"}", DecodingErrorKind::MalformedData, "JSON"},
      {"{folder:\"f\",\"token\":\"t\",\"version\":\"v\"}", DecodingErrorKind::MalformedData, "JSON"},
      {"{\"folder\":\"\xFF\",\"token\":\"t\",\"version\":\"v\"}", DecodingErrorKind::MalformedData, "JSON"},
      {"[{\"folder\":\"f\",\"token\":\"t\",\"version\":\"v\"}]", DecodingErrorKind::WrongTopLevelType,
       "array"},
      {"\"text\"", DecodingErrorKind::WrongTopLevelType, "string"},
      {"null", DecodingErrorKind::WrongTopLevelType, "null"},
      {"{\"Folder\":\"f\",\"token\":\"t\",\"version\":\"v\"}", DecodingErrorKind::MissingKey, "\"folder\""},
      {"{\"folder\":\"f\",\"TOKEN\":\"t\",\"version\":\"v\"}", DecodingErrorKind::MissingKey, "\"token\""},
      {"{\"folder\":\"f\",\"token\":\"t\"}", DecodingErrorKind::MissingKey, "\"version\""},
      {"{\"folder\":null,\"token\":\"t\",\"version\":\"v\"}", DecodingErrorKind::NullValue, "\"folder\""},
      {"{\"folder\":\"f\",\"token\":\"t\",\"version\":1.2}", DecodingErrorKind::TypeMismatch, "number"},
      {"{\"folder\":\"f\",\"token\":true,\"version\":\"v\"}", DecodingErrorKind::TypeMismatch, "boolean"},
      {"{\"folder\":[\"f\"],\"token\":\"t\",\"version\":\"v\"}", DecodingErrorKind::TypeMismatch, "array"},
      {"{\"folder\":{},\"token\":\"t\",\"version\":\"v\"}", DecodingErrorKind::TypeMismatch, "object"},
      // Several wrong members: the first in field order is reported.
      {"{\"version\":1,\"token\":2}", DecodingErrorKind::MissingKey, "\"folder\""},
      {"{\"version\":1,\"token\":2,\"folder\":\"f\"}", DecodingErrorKind::TypeMismatch, "\"token\""},
  };
  for (const Case& c : cases) {
    auto r = decodeSetupResult(c.bytes);
    ASSERT_FALSE(r) << c.bytes;
    EXPECT_EQ(platform::decodingErrorKind(r.error()), c.kind) << c.bytes;
    EXPECT_NE(r.error().localizedDescription.find(c.mentions), std::string::npos)
        << c.bytes << " -> " << r.error().localizedDescription;
  }
}

}  // namespace
}  // namespace vorn
