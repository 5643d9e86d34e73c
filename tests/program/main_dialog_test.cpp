// The main dialog driven as a user drives it, on Qt's offscreen platform: the
// program's dialog code (RunMainDialog, MainDialogProc) over the stand-in's
// user32/comdlg32 and the real Qt front end. Input goes through Qt's event
// handling (dialog_seams.h); results are read back through the Windows API.
//
// The real executable in dialog mode is driven in e2e/main_dialog_e2e_test.cpp.
#include <gtest/gtest.h>

#include <commdlg.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/centring.h"
#include "app/main_dialog.h"
#include "app/resource.h"
#include "frontend_loader.h"
#include "main_dialog_helpers.h"
#include "pe_builder.h"
#include "process.h"
#include "resources.h"
#include "dialog_seams.h"

// Qt keeps its application object and caches for the life of the process,
// by design (the front end is never unloaded).
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libexelore_qt\nleak:libQt6\nleak:libfontconfig\nleak:libglib\n";
}

namespace {

namespace posix = exelore_posix::testing;
using exelore_test::Ascii;
using exelore_test::ConsoleReport;
using exelore_test::MakeFixture;
using exelore_test::TempDir;

class MainDialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    posix::SetDialogLibraryPath(EXELORE_QT_LIBRARY);
  }

  void SetUp() override {
    if (!posix::DialogFrontendAvailable()) {
      GTEST_SKIP() << "the Qt front end cannot start here (last error " << GetLastError() << ")";
    }
    dialog_ = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr,
                                 MainDialogProc, 0);
    ASSERT_NE(dialog_, nullptr) << GetLastError();
    ShowWindow(dialog_, SW_SHOW);
  }

  void TearDown() override {
    posix::SetOpenFileChooser({});
    posix::SetMessageLoopIdleHook({});
    if (dialog_ != nullptr) DestroyWindow(dialog_);
  }

  // Runs the program's message loop until every queued message is handled.
  void Pump() {
    posix::SetMessageLoopIdleHook([] { posix::PostQuit(0); });
    MSG msg;
    while (GetMessageW(&msg, dialog_, 0, 0) > 0) {
      if (!IsDialogMessageW(dialog_, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
    posix::SetMessageLoopIdleHook({});
  }

  std::u16string Text(int id) {
    std::vector<WCHAR> buffer(65536, u'\xdead');
    const UINT n = GetDlgItemTextW(dialog_, id, buffer.data(), static_cast<int>(buffer.size()));
    return std::u16string(buffer.data(), n);
  }

  void TypePath(const std::u16string& path) {
    ASSERT_TRUE(SetDlgItemTextW(dialog_, IDC_PATH, TEXT("")));
    ASSERT_TRUE(posix::TypeIntoDialogItem(dialog_, IDC_PATH, path));
    Pump();
  }

  void Click(int id) {
    ASSERT_TRUE(posix::ClickDialogItem(dialog_, id));
    Pump();
  }

  HWND dialog_ = nullptr;
  TempDir dir_;
};

// The template the stand-in reads is the one in app/exelore.rc.
TEST(MainDialogTemplateTest, MatchesTheResourceScript) {
  const exelore_posix::DialogTemplate* found = nullptr;
  for (const auto& dialog : exelore_posix::ModuleDialogs()) {
    if (dialog.id == IDD_MAIN) found = &dialog;
  }
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->language, 1033);
  EXPECT_EQ(found->style,
            0x80C800C8u);  // WS_POPUP|WS_CAPTION|WS_SYSMENU|DS_MODALFRAME|DS_SETFONT|DS_FIXEDSYS
  EXPECT_EQ(found->exstyle, 0u);
  EXPECT_EQ((std::vector<int>{found->x, found->y, found->cx, found->cy}),
            (std::vector<int>{0, 0, 391, 230}));
  EXPECT_EQ(std::u16string(found->caption), u"Dialog");
  EXPECT_EQ(std::u16string(found->typeface), u"MS Shell Dlg");
  EXPECT_EQ((std::vector<int>{found->point_size, found->weight, found->italic, found->charset}),
            (std::vector<int>{8, 400, 0, 1}));

  struct Item {
    DWORD id;
    std::u16string window_class, text;
    std::vector<int> box;
    DWORD style;
  };
  const Item expected[] = {
      {IDC_BROWSE, u"Button", u"Browse...", {321, 8, 50, 14}, 0x50010000u},
      {IDC_GET_INFO, u"Button", u"Get Info", {321, 24, 50, 14}, 0x50010000u},
      {IDC_PATH, u"Edit", u"", {15, 8, 292, 15}, 0x50810080u},
      {IDC_REPORT, u"Edit", u"", {15, 42, 356, 167}, 0x50810884u},
  };
  ASSERT_EQ(found->item_count, std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(i);
    const auto& item = found->items[i];
    EXPECT_EQ(item.id, expected[i].id);
    EXPECT_EQ(std::u16string(item.window_class), expected[i].window_class);
    EXPECT_EQ(std::u16string(item.text), expected[i].text);
    EXPECT_EQ((std::vector<int>{item.x, item.y, item.cx, item.cy}), expected[i].box);
    EXPECT_EQ(item.style, expected[i].style);
    EXPECT_EQ(item.exstyle, 0u);
  }
}

TEST_F(MainDialogTest, GetInfoShowsTheReportOfTheTypedPath) {
  struct Case {
    const char* name;
    std::string path;
  };
  const Case cases[] = {
      {"executable with a version resource", MakeFixture(dir_, "a.exe", u"Typed Path Corp")},
      {"missing file", dir_.File("missing.exe")},
      {"folder", dir_.path()},
      {"empty path", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TypePath(Ascii(c.path));
    ASSERT_EQ(Text(IDC_PATH), Ascii(c.path));
    Click(IDC_GET_INFO);
    EXPECT_EQ(Text(IDC_REPORT), ConsoleReport(c.path));
    EXPECT_EQ(Text(IDC_PATH), Ascii(c.path));
  }
}

TEST_F(MainDialogTest, GetInfoComposesTheFirst259UnitsOfALongerPath) {
  // A file whose path is exactly 259 units, typed with 41 more after it.
  const std::size_t name_length = 259 - dir_.path().size() - 1;
  ASSERT_LT(name_length, 250u);
  const std::string path =
      MakeFixture(dir_, std::string(name_length - 4, 'n') + ".exe", u"Cut Corp");
  ASSERT_EQ(path.size(), 259u);
  const std::u16string typed = Ascii(path) + std::u16string(41, u'x');
  TypePath(typed);
  ASSERT_EQ(Text(IDC_PATH), typed);
  Click(IDC_GET_INFO);
  const std::u16string expected = ConsoleReport(path);
  ASSERT_NE(expected.find(u"Cut Corp"), std::u16string::npos);
  EXPECT_EQ(Text(IDC_REPORT), expected);
}

TEST_F(MainDialogTest, QuotedPathClearsTheReportBox) {
  const std::string path = MakeFixture(dir_, "q.exe", u"Quoted Corp");
  TypePath(Ascii(path));
  Click(IDC_GET_INFO);
  ASSERT_NE(Text(IDC_REPORT).find(u"Quoted Corp"), std::u16string::npos);
  TypePath(u"\"" + Ascii(path) + u"\"");
  Click(IDC_GET_INFO);
  EXPECT_EQ(Text(IDC_REPORT), u"");
}

TEST_F(MainDialogTest, BrowseFillsOnlyThePathBox) {
  const std::string shown = MakeFixture(dir_, "shown.exe", u"Shown Corp");
  const std::string chosen = MakeFixture(dir_, "chosen.exe", u"Chosen Corp");
  struct Case {
    const char* name;
    std::optional<std::u16string> choice;
    std::u16string path_after;
  };
  const std::u16string too_long = u"/" + std::u16string(259, u'l');  // 260 units and a NUL
  const Case cases[] = {
      {"a file is chosen", Ascii(chosen), Ascii(chosen)},
      {"Cancel", std::nullopt, Ascii(shown)},
      {"a path that does not fit in 260 units", too_long, Ascii(shown)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TypePath(Ascii(shown));
    Click(IDC_GET_INFO);
    const std::u16string report = Text(IDC_REPORT);
    ASSERT_NE(report.find(u"Shown Corp"), std::u16string::npos);

    int calls = 0;
    posix::SetOpenFileChooser([&](const std::u16string& filter, bool must_exist) {
      ++calls;
      EXPECT_EQ(filter, u"Executable (*.exe)");
      EXPECT_TRUE(must_exist);
      return c.choice;
    });
    Click(IDC_BROWSE);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(Text(IDC_PATH), c.path_after);
    EXPECT_EQ(Text(IDC_REPORT), report);
  }
}

TEST_F(MainDialogTest, EscapeEnterAndOtherCommandsKeepTheDialogAsItIs) {
  const std::string path = MakeFixture(dir_, "k.exe", u"Key Corp");
  TypePath(Ascii(path));
  Click(IDC_GET_INFO);
  const std::u16string report = Text(IDC_REPORT);
  const struct {
    const char* name;
    int focus;
    UINT key;
  } cases[] = {
      {"Escape in the path box", IDC_PATH, VK_ESCAPE},
      {"Enter in the path box", IDC_PATH, VK_RETURN},
      {"Enter in the report box", IDC_REPORT, VK_RETURN},
      {"Enter on Get Info", IDC_GET_INFO, VK_RETURN},
      {"Escape on Browse", IDC_BROWSE, VK_ESCAPE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(posix::TypeIntoDialogItem(dialog_, c.focus, u""));  // focuses it
    ASSERT_TRUE(posix::PressDialogKey(dialog_, c.key));
    Pump();
    EXPECT_EQ(posix::LastDialog(), dialog_);
    EXPECT_TRUE(static_cast<DWORD>(GetWindowLongW(dialog_, GWL_STYLE)) & WS_VISIBLE);
    EXPECT_EQ(Text(IDC_PATH), Ascii(path));
    EXPECT_EQ(Text(IDC_REPORT), report);
  }
  // IDOK and IDCANCEL as the dialog manager sends them, and a command for no control.
  for (const WPARAM command :
       {WPARAM{IDOK}, WPARAM{IDCANCEL}, MAKEWPARAM(IDC_PATH, EN_CHANGE), WPARAM{999}}) {
    EXPECT_EQ(MainDialogProc(dialog_, WM_COMMAND, command, 0), 0);
  }
  EXPECT_EQ(Text(IDC_REPORT), report);
}

TEST_F(MainDialogTest, TabFollowsTheTemplateOrder) {
  ASSERT_TRUE(posix::TypeIntoDialogItem(dialog_, IDC_PATH, u""));
  const int expected[] = {IDC_REPORT, IDC_BROWSE, IDC_GET_INFO, IDC_PATH};
  for (const int id : expected) {
    ASSERT_TRUE(posix::PressDialogKey(dialog_, VK_TAB));
    EXPECT_EQ(posix::FocusedWindow(), posix::DialogItem(dialog_, id)) << "expected " << id;
  }
}

TEST_F(MainDialogTest, LayoutComesFromDialogUnitsOfARealFont) {
  EXPECT_FALSE(posix::DialogFontFamily(dialog_).empty())
      << "no font found: install fonts-dejavu-core";
  RECT client{};
  ASSERT_TRUE(GetClientRect(dialog_, &client));
  auto box = [&](int id) {
    RECT r{};
    EXPECT_TRUE(GetWindowRect(posix::DialogItem(dialog_, id), &r));
    POINT corners[2] = {{r.left, r.top}, {r.right, r.bottom}};
    MapWindowPoints(nullptr, dialog_, corners, 2);
    return RECT{corners[0].x, corners[0].y, corners[1].x, corners[1].y};
  };
  const RECT browse = box(IDC_BROWSE), get_info = box(IDC_GET_INFO), path = box(IDC_PATH),
             report = box(IDC_REPORT);
  // Edges that share a dialog-unit coordinate share a pixel coordinate, give
  // or take the rounding of position and size converted apart, as Windows
  // converts them.
  EXPECT_EQ(path.left, report.left);           // 15
  EXPECT_NEAR(browse.right, report.right, 1);  // 371
  EXPECT_EQ(browse.left, get_info.left);       // 321
  EXPECT_EQ(browse.top, path.top);             // 8
  // Sizes scale with the units: 391 units wide, 356 for the report box.
  EXPECT_NEAR(static_cast<double>(report.right - report.left) / client.right, 356.0 / 391, 0.01);
  EXPECT_NEAR(static_cast<double>(report.bottom - report.top) / client.bottom, 167.0 / 230, 0.01);
  EXPECT_GT(client.right, 391);  // a horizontal unit is more than a quarter pixel
}

// The close box, and Escape in the multi-line report box (which posts
// WM_CLOSE to its dialog, as a Windows edit control does).
TEST_F(MainDialogTest, ClosingTheDialogEndsTheProcessWithStatusZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        posix::PressCloseBox(dialog_);
        Pump();
        std::_Exit(3);  // the close box did not end the process
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        posix::TypeIntoDialogItem(dialog_, IDC_REPORT, u"");  // focuses it
        posix::PressDialogKey(dialog_, VK_ESCAPE);
        Pump();
        std::_Exit(3);  // Escape did not end the process
      },
      ::testing::ExitedWithCode(0), "");
}

// The frame offers what the template's style asks for: the main dialog's
// (a caption and a system menu, no boxes, no sizing border) a close box only.
TEST_F(MainDialogTest, FrameOffersWhatTheStyleAsksFor) {
  using Frame = posix::DialogFrame;
  EXPECT_EQ(posix::DialogFrameOf(dialog_), (Frame{true, true, true, false, false, false}));
  const DWORD caption = WS_POPUP | WS_CAPTION;
  const struct {
    const char* name;
    DWORD style;
    Frame frame;
  } cases[] = {
      {"both boxes and a sizing border",
       caption | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME,
       {true, true, true, true, true, true}},
      {"a minimise box",
       caption | WS_SYSMENU | WS_MINIMIZEBOX,
       {true, true, true, true, false, false}},
      {"boxes without a system menu",
       caption | WS_MINIMIZEBOX | WS_MAXIMIZEBOX,
       {true, false, false, false, false, false}},
      {"no caption", WS_POPUP | WS_BORDER, {false, false, false, false, false, false}},
  };
  const exelore_posix::Frontend* frontend = exelore_posix::LoadedFrontend(&SetLastError);
  ASSERT_NE(frontend, nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    exelore_posix::DialogTemplate bare{};
    bare.style = c.style;
    bare.cx = 100;
    bare.cy = 50;
    bare.typeface = u"MS Shell Dlg";
    const HWND dialog = frontend->create_dialog(&bare, nullptr, nullptr, 0);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(posix::DialogFrameOf(dialog), c.frame);
    DestroyWindow(dialog);
  }
}

// The Open dialog's patterns match names whatever their case, as on Windows.
TEST_F(MainDialogTest, OpenDialogMatchesPatternsWhateverTheirCase) {
  for (const char* name : {"SETUP.EXE", "tool.exe", "Mixed.Exe", "notes.TXT", "exe", "a.exe.txt"}) {
    std::ofstream(dir_.File(name)) << "x";
  }
  std::filesystem::create_directory(dir_.File("folder.exe"));
  const std::u16string folder = Ascii(dir_.path());
  const struct {
    const char* name;
    const WCHAR* filter;
    std::vector<std::u16string> listed;
  } cases[] = {
      {"the program's filter",
       TEXT("Executable\0*.exe\0\0"),
       {u"Mixed.Exe", u"SETUP.EXE", u"tool.exe"}},
      {"two upper-case patterns",
       TEXT("Some\0*.EXE;*.txt\0\0"),
       {u"Mixed.Exe", u"SETUP.EXE", u"a.exe.txt", u"notes.TXT", u"tool.exe"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WCHAR file[260] = {};
    OPENFILENAMEW open{};
    open.lStructSize = sizeof(open);
    open.hwndOwner = dialog_;
    open.lpstrFilter = c.filter;
    open.lpstrFile = file;
    open.nMaxFile = 260;
    open.lpstrInitialDir = folder.c_str();
    open.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    auto listed = posix::FilesListedByOpenDialog(open);
    ASSERT_TRUE(listed.has_value());
    std::sort(listed->begin(), listed->end());
    EXPECT_EQ(*listed, c.listed);
  }
}

// RunMainDialog itself: created hidden, centred on the work area, shown,
// looping until the quit message, then destroyed.
TEST_F(MainDialogTest, RunMainDialogCentresShowsAndLoops) {
  DestroyWindow(dialog_);
  dialog_ = nullptr;
  const std::string path = MakeFixture(dir_, "run.exe", u"Run Corp");
  HWND seen = nullptr;
  int step = 0;
  posix::SetMessageLoopIdleHook([&] {
    switch (step++) {
      case 0: {
        seen = posix::LastDialog();
        ASSERT_NE(seen, nullptr);
        EXPECT_TRUE(static_cast<DWORD>(GetWindowLongW(seen, GWL_STYLE)) & WS_VISIBLE);
        RECT window{};
        GetWindowRect(seen, &window);
        MONITORINFO info{};
        info.cbSize = sizeof(info);
        ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(seen, MONITOR_DEFAULTTONEAREST), &info));
        const RECT& work = info.rcWork;
        EXPECT_EQ(window.left, (work.left + work.right) / 2 - (window.right - window.left) / 2);
        EXPECT_EQ(window.top, (work.top + work.bottom) / 2 - (window.bottom - window.top) / 2);
        posix::TypeIntoDialogItem(seen, IDC_PATH, Ascii(path));
        posix::ClickDialogItem(seen, IDC_GET_INFO);
        break;
      }
      case 1: {
        std::vector<WCHAR> buffer(4096);
        const UINT n = GetDlgItemTextW(seen, IDC_REPORT, buffer.data(), 4096);
        EXPECT_EQ(std::u16string(buffer.data(), n), ConsoleReport(path));
        posix::PostQuit(0);
        break;
      }
      default:
        posix::PostQuit(0);
    }
  });
  RunMainDialog();
  posix::SetMessageLoopIdleHook({});
  EXPECT_GE(step, 2);
  EXPECT_EQ(posix::LastDialog(), nullptr);
  SetLastError(0);
  EXPECT_EQ(GetWindowLongW(seen, GWL_STYLE), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

}  // namespace
