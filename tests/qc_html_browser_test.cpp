// SPDX-License-Identifier: BSD-2-Clause
// The quality check's HTML page laid out by a real browser (headless Chromium, where it is
// installed): the pictures two to a row on a wide screen with the time charts across both,
// one to a row on a narrow one, and nothing wider than the window.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/cli_process.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

// Run once the page has loaded: the place of every picture, the width of what holds them and
// the page's widths, as JSON in an element the browser's dump of the document holds.
constexpr const char* kProbe = R"(<script>
window.addEventListener('load', () => {
  const all = [...document.querySelectorAll('figure')];
  const figures = all.map(f => {
    const r = f.getBoundingClientRect();
    return {left: r.left, top: r.top, width: r.width, height: r.height};
  });
  const grid = all.length ? all[0].parentElement.getBoundingClientRect() : {width: 0};
  const probe = document.createElement('pre');
  probe.id = 'probe';
  probe.textContent = JSON.stringify({scrollWidth: document.documentElement.scrollWidth,
    clientWidth: document.documentElement.clientWidth, gridWidth: grid.width, figures});
  document.body.appendChild(probe);
});
</script>)";

bool HaveChromium() { return std::system("command -v chromium > /dev/null 2>&1") == 0; }

// The page as laid out in a window `width` pixels wide; null when the browser gave nothing.
nlohmann::json LayOut(const test::ScratchDir& dir, const std::string& page, int width) {
    const std::string profile = dir.file("profile-" + std::to_string(width));
    // A new empty profile, and nothing the browser would fetch on this closed network.
    const std::string command =
        "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
        "--disable-background-networking --disable-component-update --disable-sync --user-data-dir='" +
        profile + "' --window-size=" + std::to_string(width) + ",1200 --dump-dom 'file://" + page + "' 2>/dev/null";
    std::FILE* browser = popen(command.c_str(), "r");
    if (browser == nullptr) return nullptr;
    std::string dom;
    char chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, browser)) > 0) dom.append(chunk, n);
    pclose(browser);
    const std::size_t start = dom.find("<pre id=\"probe\">");
    if (start == std::string::npos) return nullptr;
    const std::size_t from = start + 16;
    std::string text = dom.substr(from, dom.find("</pre>", from) - from);
    return nlohmann::json::parse(text, nullptr, false);
}

TEST(QcHtmlInBrowser, PicturesTwoToARowOnAWideScreenOneOnANarrowOne) {
    if (test::CliPath() == nullptr) GTEST_SKIP() << "KESTREL_CLI does not name the built command";
    if (!HaveChromium()) GTEST_SKIP() << "chromium is not installed";
    test::ScratchDir dir;
    const std::string page = dir.file("qc.html");
    const auto run = test::RunCli(dir.path(), {"qc", test::DataPath("navcom/gsi-0759-2005-092.nav"), "-q", "--plot", page});
    ASSERT_EQ(run.status, 0) << run.err;
    std::string html = test::ReadFileText(page);
    const std::size_t end = html.rfind("</body>");
    ASSERT_NE(end, std::string::npos);
    html.insert(end, kProbe);
    test::WriteFileBytes(page, std::vector<uint8_t>(html.begin(), html.end()));

    const nlohmann::json wide = LayOut(dir, page, 1600);
    ASSERT_TRUE(wide.is_object()) << "no layout from the browser";
    const auto& figures = wide["figures"];
    ASSERT_EQ(figures.size(), 8u);
    EXPECT_LE(wide["scrollWidth"].get<double>(), wide["clientWidth"].get<double>());
    const double grid = wide["gridWidth"].get<double>();
    // Visibility; sky and strength; MP1 and MP2; clock; east-north and up.
    for (std::size_t i : {0u, 5u}) {
        EXPECT_NEAR(figures[i]["width"].get<double>(), grid, 1.0) << i;
    }
    for (std::size_t i : {1u, 3u, 6u}) {
        const auto& left = figures[i];
        const auto& right = figures[i + 1];
        EXPECT_NEAR(left["top"].get<double>(), right["top"].get<double>(), 1.0) << i;
        EXPECT_GE(right["left"].get<double>(), left["left"].get<double>() + left["width"].get<double>()) << i;
        EXPECT_GT(left["width"].get<double>(), 0.45 * grid) << i;
        // The picture keeps its shape (600 by 420) as it scales.
        EXPECT_NEAR(left["height"].get<double>() / left["width"].get<double>(), 0.7, 0.05) << i;
    }

    const nlohmann::json narrow = LayOut(dir, page, 700);
    ASSERT_TRUE(narrow.is_object()) << "no layout from the browser";
    EXPECT_LE(narrow["scrollWidth"].get<double>(), narrow["clientWidth"].get<double>());
    const auto& column = narrow["figures"];
    ASSERT_EQ(column.size(), 8u);
    for (std::size_t i = 1; i < column.size(); ++i) {
        EXPECT_NEAR(column[i]["left"].get<double>(), column[0]["left"].get<double>(), 1.0) << i;
        EXPECT_NEAR(column[i]["width"].get<double>(), narrow["gridWidth"].get<double>(), 1.0) << i;
        EXPECT_GT(column[i]["top"].get<double>(), column[i - 1]["top"].get<double>()) << i;
    }
}

}  // namespace
}  // namespace kestrel
