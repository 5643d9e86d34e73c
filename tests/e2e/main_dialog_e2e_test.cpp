// The real executable in dialog mode: how it ends when no dialog can be
// shown, and driven on a virtual X server with xdotool, as a user would.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "main_dialog_helpers.h"
#include "process.h"

namespace {

using exelore_test::Ascii;
using exelore_test::ConsoleReport;
using exelore_test::MakeFixture;
using exelore_test::RunProcess;
using exelore_test::TempDir;

// The real executable in dialog mode ends with status 0 and at once when the
// dialog cannot be shown, instead of aborting inside Qt.
TEST(MainDialogStartTest, EndsWithStatusZeroWhenNoDialogCanBeShown) {
  TempDir dir;
  const std::string lonely = dir.File("exelore");
  std::filesystem::copy_file(EXELORE_BINARY, lonely);
  std::filesystem::permissions(lonely, std::filesystem::perms::owner_all);
  const struct {
    const char* name;
    std::vector<std::string> argv;
  } cases[] = {
      {"no display at all",
       {"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM",
        EXELORE_BINARY}},
      {"a display that does not answer",
       {"/usr/bin/env", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", "DISPLAY=:97",
        EXELORE_BINARY}},
      {"a platform plugin that is not installed",
       {"/usr/bin/env", "QT_QPA_PLATFORM=no-such-platform", EXELORE_BINARY}},
      {"no front-end library next to the executable",
       {"/usr/bin/env", "QT_QPA_PLATFORM=offscreen", lonely}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = RunProcess(c.argv, {}, std::chrono::seconds(20));
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "");
  }
}

bool Found(const std::string& program) {
  return RunProcess({"/bin/sh", "-c", "command -v " + program}).exit_status == 0;
}

// The real executable on a virtual X server: typed path, Get Info, the report
// box read back through the clipboard, then the close box (as a window
// manager sends it), or Escape in the multi-line report box (which posts
// WM_CLOSE to the dialog), ends the process with status 0. The window asks
// a window manager for a fixed size and no minimise or maximise box.
TEST(MainDialogEndToEndTest, RealExecutableUnderXvfb) {
#ifndef EXELORE_X11_TOOL
  GTEST_SKIP() << "built without Xlib headers (libx11-dev)";
#else
  for (const char* program : {"Xvfb", "xdotool"}) {
    if (!Found(program)) GTEST_SKIP() << program << " is not installed";
  }
  TempDir dir;
  const std::string fixture = MakeFixture(dir, "e2e.exe", u"End To End Corp");
  // The clipboard carries the box's line breaks as LF.
  std::u16string expected = ConsoleReport(fixture);
  std::u16string expected_lf;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (expected[i] == u'\r' && i + 1 < expected.size() && expected[i + 1] == u'\n') continue;
    expected_lf += expected[i];
  }
  ASSERT_NE(expected_lf.find(u"End To End Corp"), std::u16string::npos);
  const auto read = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  };
  // _MOTIF_WM_HINTS bits: MWM_FUNC_MINIMIZE, MWM_FUNC_MAXIMIZE, MWM_FUNC_CLOSE;
  // MWM_DECOR_MINIMIZE, MWM_DECOR_MAXIMIZE.
  constexpr long kFuncMinimize = 8, kFuncMaximize = 16, kFuncClose = 32;
  constexpr long kDecorMinimize = 32, kDecorMaximize = 64;
  for (const char* close_with : {"closebox", "escape"}) {
    SCOPED_TRACE(close_with);
    const std::string report_file = dir.File(std::string(close_with) + ".txt");
    const auto result =
        RunProcess({"/usr/bin/env", "-u", "QT_QPA_PLATFORM",
                    std::string("CLOSE_WITH=") + close_with, EXELORE_WITH_XVFB,
                    EXELORE_DRIVE_DIALOG, EXELORE_BINARY, EXELORE_X11_TOOL, fixture, report_file},
                   {}, std::chrono::seconds(120));
    ASSERT_FALSE(result.timed_out) << result.err;
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(Ascii(read(report_file)), expected_lf);
    long functions = 0, decorations = 0;
    int fixed = 0;
    ASSERT_EQ(
        std::sscanf(read(report_file + ".frame").c_str(), "functions=%ld decorations=%ld fixed=%d",
                    &functions, &decorations, &fixed),
        3);
    EXPECT_EQ(fixed, 1);
    EXPECT_EQ(functions & (kFuncMinimize | kFuncMaximize), 0) << functions;
    EXPECT_EQ(functions & kFuncClose, kFuncClose) << functions;
    EXPECT_EQ(decorations & (kDecorMinimize | kDecorMaximize), 0) << decorations;
  }
#endif
}

}  // namespace
