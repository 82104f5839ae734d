// What moves on the real setup page, read from the engine's own list of
// running animations: while setup waits for the extension (often for minutes)
// nothing may move for long, since every frame drawn costs CPU time for as
// long as the window is open; what moves animates only opacity and transform;
// and reduced motion stills the two busy signs.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/desktop/program_fixture.h"

namespace vorn {
namespace {

using namespace desktop_testing;

// Every running animation and transition as {name, property list, end time in
// ms (null when it never ends), keyframe easings}.
constexpr const char* kRunning = R"JS(JSON.stringify(document.getAnimations().map(function (a) {
  var frames = a.effect.getKeyframes();
  var props = {};
  frames.forEach(function (f) {
    Object.keys(f).forEach(function (k) {
      if (["offset", "computedOffset", "easing", "composite"].indexOf(k) < 0) props[k] = true;
    });
  });
  var end = a.effect.getComputedTiming().endTime;
  return { name: a.animationName || a.transitionProperty || "", props: Object.keys(props).sort().join(","),
           end: isFinite(end) ? end : null, easings: frames.map(function (f) { return f.easing; }).join(" ") };
})))JS";

class PageMotionTest : public LaunchedProgramFixture {
 protected:
  PageMotionTest() : LaunchedProgramFixture("document.readyState === 'complete' && window.vornSetup") {}
  // The event the program sends, as it sends it.
  void receive(const std::string& event) {
    ASSERT_EQ(value("window.vornSetup.receive(" + event + "); true"), "true") << event;
  }
};

TEST_F(PageMotionTest, WaitingBlinksBrieflyOnCompositableProperties) {
  receive(R"({"type":"installed","folder":"/tmp/extension"})");
  ASSERT_EQ(value("document.body.dataset.state"), "\"installed\"");
  const std::string pulse = value(
      "JSON.stringify(document.getAnimations().filter(function (a) { return a.animationName === "
      "'pulse'; }).map(function (a) { return a.effect.getComputedTiming().endTime; }))");
  EXPECT_NE(pulse, "\"[]\"") << "no sign that setup is waiting";
  const std::string running = value(kRunning);
  // No animation of the waiting view runs forever or beyond a few seconds.
  EXPECT_EQ(running.find("\\\"end\\\":null"), std::string::npos) << running;
  EXPECT_EQ(value("document.getAnimations().every(function (a) { return a.effect.getComputedTiming().endTime "
                  "<= 5000; })"),
            "true")
      << running;
  EXPECT_EQ(
      value("document.getAnimations().filter(function (a) { return a instanceof CSSAnimation; })"
            ".every(function (a) { return a.effect.getKeyframes().every(function (f) { return "
            "Object.keys(f).every(function (k) { return ['offset', 'computedOffset', 'easing', 'composite', "
            "'opacity', 'transform'].indexOf(k) >= 0; }); }); })"),
      "true")
      << running;

  // Once it has blinked, nothing on the page moves at all.
  ASSERT_TRUE(waitForScript(view(), "document.getAnimations().length === 0", 8.0)) << value(kRunning);
}

TEST_F(PageMotionTest, TheInstallingBarStepsOnATransform) {
  ASSERT_EQ(value("document.getElementById('progress').hidden = false; true"), "true");
  ASSERT_TRUE(waitForScript(view(),
                            "document.getAnimations().some(function (a) { return a.animationName === "
                            "'slide'; })",
                            5.0));
  const std::string slide = value(
      "JSON.stringify(document.getAnimations().filter(function (a) { return a.animationName === "
      "'slide'; }).map(function (a) { return a.effect.getKeyframes().map(function (f) { return "
      "[Object.keys(f).filter(function (k) { return ['offset', 'computedOffset', 'easing', "
      "'composite'].indexOf(k) < 0; }).join(','), f.easing]; }); }))");
  // A few positions a second, not sixty: every keyframe interval is stepped.
  EXPECT_NE(slide.find("transform"), std::string::npos) << slide;
  EXPECT_EQ(slide.find("opacity"), std::string::npos) << slide;
  EXPECT_EQ(value("document.getAnimations().filter(function (a) { return a.animationName === 'slide'; })"
                  ".every(function (a) { return a.effect.getKeyframes().slice(0, -1).every(function (f) { "
                  "return f.easing.indexOf('steps(') === 0; }); })"),
            "true")
      << slide;
}

// WebKitGTK answers prefers-reduced-motion from GTK's own animation setting.
class ReducedMotionTest : public PageMotionTest {
 protected:
  void SetUp() override {
    g_object_set(gtk_settings_get_default(), "gtk-enable-animations", FALSE, nullptr);
    PageMotionTest::SetUp();
  }
  void TearDown() override {
    PageMotionTest::TearDown();
    g_object_set(gtk_settings_get_default(), "gtk-enable-animations", TRUE, nullptr);
  }
};

TEST_F(ReducedMotionTest, StillsTheDotAndTheBar) {
  ASSERT_EQ(value("matchMedia('(prefers-reduced-motion: reduce)').matches"), "true");
  receive(R"({"type":"installed","folder":"/tmp/extension"})");
  pumpFor(0.3);
  EXPECT_EQ(value("document.getAnimations().length"), "0") << value(kRunning);
  EXPECT_EQ(value("getComputedStyle(document.querySelector('.pulse')).opacity"), "\"1\"");

  receive(R"({"type":"error","message":"x"})");
  ASSERT_EQ(value("document.getElementById('view-start').hidden = false; "
                  "document.getElementById('progress').hidden = false; true"),
            "true");
  pumpFor(0.3);
  EXPECT_EQ(value("document.getAnimations().length"), "0") << value(kRunning);
  // Full width and lit: still clearly busy.
  EXPECT_EQ(value("document.querySelector('.bar span').getBoundingClientRect().width === "
                  "document.querySelector('.bar').getBoundingClientRect().width"),
            "true");
}

}  // namespace
}  // namespace vorn
