// axe-core run inside the real page in WebKitGTK, in every state the page can
// show, in the light and the dark appearance, in English, German, and the
// three languages that read right to left, Arabic, Hebrew and Persian:
// no violation of WCAG 2.1 A and AA or of the best-practice rules. Where axe
// cannot decide a text's colour contrast, the test measures it itself.
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/desktop/real_page_fixture.h"

namespace vorn {
namespace {

using namespace desktop_testing;
using nlohmann::json;

constexpr const char* kAxe = VORN_AXE_PATH;
constexpr const char* kReceiptWriter = VORN_RECEIPT_WRITER_PATH;

// Runs axe; leaves in window.axeFound the violations, and for each text whose
// contrast axe left undecided, the contrast measured here: the text's colour
// over the backgrounds of it and its ancestors, composed down to the first
// opaque one.
constexpr const char* kRunAxe = R"JS(
window.axeFound = null;
(function () {
  function rgba(text) {
    var v = text.match(/[\d.]+/g).map(Number);
    return { r: v[0], g: v[1], b: v[2], a: v.length > 3 ? v[3] : 1 };
  }
  function over(top, bottom) {
    var a = top.a + bottom.a * (1 - top.a);
    function mix(k) { return (top[k] * top.a + bottom[k] * bottom.a * (1 - top.a)) / a; }
    return { r: mix("r"), g: mix("g"), b: mix("b"), a: a };
  }
  function luminance(c) {
    function lin(v) { v /= 255; return v <= 0.03928 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4); }
    return 0.2126 * lin(c.r) + 0.7152 * lin(c.g) + 0.0722 * lin(c.b);
  }
  function contrast(node) {
    var layers = [];
    for (var n = node; n; n = n.parentElement) {
      var c = rgba(getComputedStyle(n).backgroundColor);
      if (c.a > 0) layers.push(c);
      if (c.a >= 1) break;
    }
    var back = { r: 255, g: 255, b: 255, a: 1 };
    for (var i = layers.length - 1; i >= 0; i--) back = over(layers[i], back);
    var style = getComputedStyle(node);
    var fore = over(rgba(style.color), back);
    var l1 = luminance(fore), l2 = luminance(back);
    var size = parseFloat(style.fontSize), bold = parseInt(style.fontWeight, 10) >= 700;
    return { ratio: (Math.max(l1, l2) + 0.05) / (Math.min(l1, l2) + 0.05),
             large: size >= 24 || (bold && size >= 18.66) };
  }
  axe.run(document, {
    runOnly: { type: "tag", values: ["wcag2a", "wcag2aa", "wcag21a", "wcag21aa", "best-practice"] },
    resultTypes: ["violations", "incomplete"]
  }).then(function (result) {
    var undecided = result.incomplete.filter(function (r) { return r.id === "color-contrast"; });
    window.axeFound = JSON.stringify({
      violations: result.violations.map(function (v) {
        return { id: v.id, nodes: v.nodes.map(function (n) { return n.target.join(" ") + ": " + n.failureSummary; }) };
      }),
      measured: [].concat.apply([], undecided.map(function (r) { return r.nodes; })).map(function (n) {
        var node = document.querySelector(n.target[0]);
        var m = contrast(node);
        return { target: n.target.join(" "), text: node.textContent.trim().slice(0, 40), ratio: m.ratio, large: m.large };
      })
    });
  }, function (error) {
    window.axeFound = JSON.stringify({ error: String(error) });
  });
})();
true
)JS";

// The page in English, and in German (the longest words) and the right-to-left three.
struct AxeLanguage {
  const char* name;
  std::vector<std::pair<std::string, std::string>> environment;
};

void PrintTo(const AxeLanguage& language, std::ostream* out) { *out << language.name; }

class PageAxeTest : public RealPageTest, public ::testing::WithParamInterface<AxeLanguage> {
 protected:
  void SetUp() override {
    RealPageTest::SetUp();
    language_.emplace(GetParam().environment);
  }
  void TearDown() override {
    language_.reset();
    RealPageTest::TearDown();
  }

  bool injectAxe() {
    std::ifstream in(kAxe);
    if (!in) return false;
    std::stringstream source;
    source << in.rdbuf();
    return evaluate(view(), source.str() + "\n; typeof axe === 'object'") == "true";
  }

  bool appear(bool dark) {
    g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", dark ? TRUE : FALSE,
                 nullptr);
    return waitForScript(view(), std::string("matchMedia('(prefers-color-scheme: dark)').matches === ") +
                                     (dark ? "true" : "false"));
  }

  // Checks the page as it stands, light and dark; each finding becomes one line.
  void check(const std::string& state) {
    for (const bool dark : {false, true}) {
      const std::string where = std::string(GetParam().name) + ", " + state + (dark ? " (dark)" : " (light)");
      ASSERT_TRUE(appear(dark)) << where;
      pumpFor(0.3);  // colour transitions settle
      run(kRunAxe);
      ASSERT_TRUE(waitForScript(view(), "window.axeFound !== null", 60.0)) << where;
      const json found = json::parse(json::parse(value("window.axeFound")).get<std::string>());
      ASSERT_FALSE(found.contains("error")) << where << ": " << found["error"];
      for (const json& violation : found["violations"]) {
        for (const json& node : violation["nodes"])
          findings.push_back(where + ": " + violation["id"].get<std::string>() + ": " +
                             node.get<std::string>());
      }
      for (const json& text : found["measured"]) {
        const double least = text["large"].get<bool>() ? 3.0 : 4.5;
        if (text["ratio"].get<double>() < least)
          findings.push_back(where + ": contrast " + std::to_string(text["ratio"].get<double>()) + " of " +
                             text["target"].get<std::string>() + " \"" + text["text"].get<std::string>() +
                             "\"");
      }
      ++checked;
    }
  }

  std::vector<std::string> findings;
  int checked = 0;

 private:
  std::optional<ScopedLanguage> language_;
};

TEST_P(PageAxeTest, EveryStateLightAndDarkHasNoViolation) {
  useHeldFailingUpdater("vorn-updater: the extension folder could not be prepared");
  const int status = runProgram([&] {
    ASSERT_TRUE(pageReady());
    ASSERT_TRUE(injectAxe()) << "axe-core missing at " << kAxe << ": run scripts/install-deps";
    ASSERT_TRUE(reaches("start"));
    check("start");

    press("install");
    ASSERT_TRUE(reaches("installing"));
    check("installing");
    openGate();
    ASSERT_TRUE(reaches("error"));
    check("error");

    useHeldSampleUpdater();
    openGate();
    press("retry");
    ASSERT_TRUE(reaches("installed"));
    check("installed");

    // The "Copied" labels are held for as long as the check takes.
    run("var later = window.setTimeout; window.setTimeout = function (f, ms) { return ms === 2000 ? 0 : "
        "later(f, ms); }");
    press("copy-extensions");
    press("copy-folder");
    ASSERT_TRUE(waitForScript(view(), "document.querySelectorAll('.is-copied').length === 2"));
    check("installed after copying");

    ASSERT_EQ(runChild({kReceiptWriter}).status, 0);
    ASSERT_TRUE(reaches("confirmed", 5.0));
    check("confirmed");
    pressDone();
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(checked, 12);
  std::string all;
  for (const std::string& finding : findings) all += finding + "\n";
  EXPECT_TRUE(findings.empty()) << all;
}

INSTANTIATE_TEST_SUITE_P(Languages, PageAxeTest,
                         ::testing::Values(AxeLanguage{"English", {{"LANGUAGE", "en"}}},
                                           AxeLanguage{"German", {{"LANGUAGE", "de"}}},
                                           AxeLanguage{"Arabic", {{"LANG", "ar_EG.UTF-8"}}},
                                           AxeLanguage{"Hebrew", {{"LANG", "he_IL.UTF-8"}}},
                                           AxeLanguage{"Persian", {{"LANG", "fa_IR.UTF-8"}}}),
                         [](const ::testing::TestParamInfo<AxeLanguage>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace vorn
