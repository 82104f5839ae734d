#include "platform/url.h"

#include <gtest/gtest.h>

namespace vorn::platform {
namespace {

TEST(FileURL, EncodesFoldersAsTheEngineReportsThem) {
  EXPECT_EQ(URL::fileURLWithPath("/tmp/x y#z%?\xC3\xA9/ui", true)
                .appendingPathComponent("index.html")
                .absoluteString(),
            "file:///tmp/x%20y%23z%25%3F%C3%A9/ui/index.html");
  EXPECT_EQ(URL::fileURLWithPath("/tmp/p !$&'()*+,;=@[]~`{}^|\"<>\\ \xC3\x9C", true)
                .appendingPathComponent("index.html")
                .absoluteString(),
            "file:///tmp/p%20!$&'()*+,%3B=@%5B%5D~%60%7B%7D%5E%7C%22%3C%3E%5C%20%C3%9C/index.html");
  // The same folder gives the same text every time, with or without its slash.
  EXPECT_EQ(URL::fileURLWithPath("/a/b", true), URL::fileURLWithPath("/a/b/", true));
}

TEST(FileURL, PathRoundTripsThroughEncoding) {
  const std::string path = "/tmp/x y#z%?\xC3\xA9/ui";
  EXPECT_EQ(URL::fileURLWithPath(path).path(), path);
  EXPECT_EQ(URL::fileURLWithPath(path, true).path(), path);
  // Escapes that are cut short or not hexadecimal stay as they are.
  EXPECT_EQ(URL("file:///a%2/b%zz/c%4").path(), "/a%2/b%zz/c%4");
  EXPECT_EQ(URL("file:///a%/b%41%42%").path(), "/a%/bAB%");
}

TEST(FileURL, StandardisationResolvesDotSegmentsOnly) {
  EXPECT_EQ(URL("file:///a/ui/sub/../index.html").standardizedFileURL(), URL("file:///a/ui/index.html"));
  EXPECT_EQ(URL("file:///a/ui/./index.html").standardizedFileURL(), URL("file:///a/ui/index.html"));
  EXPECT_EQ(URL("file:///a/ui/sub/..").standardizedFileURL(), URL("file:///a/ui/"));
  EXPECT_EQ(URL("file:///../../a").standardizedFileURL(), URL("file:///a"));
  // Query and fragment stay, and are not touched by the path's segments.
  EXPECT_EQ(URL("file:///a/./b?x=/../y#/..").standardizedFileURL(), URL("file:///a/b?x=/../y#/.."));
  // Other schemes come back unchanged.
  EXPECT_EQ(URL("https://h/a/../b").standardizedFileURL(), URL("https://h/a/../b"));
}

TEST(FileURL, LastComponentIgnoresATrailingSlash) {
  EXPECT_EQ(
      URL::fileURLWithPath("/x/y/z").deletingLastPathComponent().appendingPathComponent("f.json").path(),
      "/x/y/f.json");
  EXPECT_EQ(
      URL::fileURLWithPath("/x/y/z/").deletingLastPathComponent().appendingPathComponent("f.json").path(),
      "/x/y/f.json");
  EXPECT_EQ(URL::fileURLWithPath("/").deletingLastPathComponent().path(), "/");
}

}  // namespace
}  // namespace vorn::platform
