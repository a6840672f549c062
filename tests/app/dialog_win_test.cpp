// The real dialog, run in-process on a thread of its own and driven the way
// the system drives it: window messages, clicks, keys. The test program sits
// alone in its folder, which serves as the installation folder.
#include <gtest/gtest.h>

#include <thread>

#include "app/dpi_scale.h"
#include "app/my_update_dlg.h"
#include "app/window_dpi_win.h"
#include "engine/base_url.h"
#include "manifest/digest_cache.h"
#include "manifest/md5.h"
#include "res/resource.h"
#include "support/win_test_support.h"

namespace {

constexpr wchar_t kTitle[] = L"自动更新程序V1.0";
constexpr DWORD kWaitMs = 20000;

// The side of an icon in pixels, as the system keeps it.
int IconWidth(HICON icon) {
  ICONINFO info{};
  if (!icon || !::GetIconInfo(icon, &info)) return 0;
  BITMAP bitmap{};
  ::GetObjectW(info.hbmMask, sizeof(bitmap), &bitmap);
  if (info.hbmColor) ::DeleteObject(info.hbmColor);
  ::DeleteObject(info.hbmMask);
  return bitmap.bmWidth;
}

int ColumnWidth(HWND list, int column) {
  return static_cast<int>(::SendMessageW(list, LVM_GETCOLUMNWIDTH, column, 0));
}

std::wstring InstallFolder() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.rfind(L'\\') + 1);
}

const std::string kBase = "/Velmora/Qyr/Test/";

// A delete.bat that only leaves a mark, so the closing paths can be counted.
void PlaceMarkerScript() {
  WriteBytes(InstallFolder() + L"delete.bat",
             "@echo ran>>\"%~dp0script-ran.txt\"\r\n@del \"%~f0\"\r\n");
}

int ScriptRuns() {
  const std::string marks = ReadBytes(InstallFolder() + L"script-ran.txt");
  int runs = 0;
  for (size_t at = marks.find("ran"); at != std::string::npos; at = marks.find("ran", at + 1)) ++runs;
  return runs;
}

// Runs CMyUpdateDlg::DoModal on its own thread and reads its controls.
class DialogRun {
 public:
  DialogRun() {
    m_thread = std::thread([this] {
      AfxEnableControlContainer();
      CMyUpdateDlg dlg;
      m_dialog = &dlg;
      m_result = dlg.DoModal();
      m_dialog = nullptr;
      m_ended = true;
    });
    // Visible only once WM_INITDIALOG has set the controls up: found before
    // that, a busy machine reads the button texts still empty.
    WaitUntil([this] {
      m_hwnd = ::FindWindowW(L"#32770", kTitle);
      return (m_hwnd && ::IsWindowVisible(m_hwnd)) || m_ended;
    }, kWaitMs);
  }
  ~DialogRun() {
    if (!m_ended && m_hwnd) ::PostMessageW(m_hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    WaitEnded();
    if (m_thread.joinable()) m_thread.join();
  }

  HWND hwnd() const { return m_hwnd; }
  HWND Item(int id) const { return ::GetDlgItem(m_hwnd, id); }
  std::wstring Text(int id) const {
    wchar_t text[512] = {};
    ::SendMessageW(Item(id), WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
    return text;
  }
  bool Enabled(int id) const { return ::IsWindowEnabled(Item(id)); }
  bool Visible(int id) const { return ::IsWindowVisible(Item(id)); }
  int Progress() const { return static_cast<int>(::SendMessageW(Item(IDC_PROGRESS), PBM_GETPOS, 0, 0)); }
  int Rows() const { return static_cast<int>(::SendMessageW(Item(IDC_FILE_LIST), LVM_GETITEMCOUNT, 0, 0)); }
  std::wstring Cell(int row, int column) const {
    CListCtrl list;
    list.m_hWnd = Item(IDC_FILE_LIST);
    return list.GetItemText(row, column);
  }

  void Click(int id) {
    ::PostMessageW(m_hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(Item(id)));
  }
  void Key(HWND target, UINT key) {
    ::PostMessageW(target, WM_KEYDOWN, key, 0);
    ::PostMessageW(target, WM_KEYUP, key, 0);
  }
  bool WaitStatus(const std::wstring& text) {
    return WaitUntil([&] { return Text(IDC_STATUS) == text && Enabled(IDC_BTN_UPDATE); }, kWaitMs);
  }
  bool WaitEnded(DWORD timeoutMs = kWaitMs) {
    return WaitUntil([this] { return m_ended.load(); }, timeoutMs);
  }
  INT_PTR Result() const { return m_result; }

 private:
  std::thread m_thread;
  std::atomic<CMyUpdateDlg*> m_dialog{nullptr};
  std::atomic<bool> m_ended{false};
  HWND m_hwnd = nullptr;
  INT_PTR m_result = 0;
};

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(ServerUrl().empty()) << "run through run_with_server.sh";
    SetDefaultBaseUrlForTesting(ServerUrl() + Utf8ToWide(kBase));
    SetFaults("");
    ClearRequestLog();
    for (const wchar_t* name : {L"delete.bat", L"script-ran.txt", L"Update_Logo.txt", L"LocalDate.ini",
                                L"UpDate.ini", L"LocalDigest.cache", L"probe.dat"}) {
      ::DeleteFileW((InstallFolder() + name).c_str());
    }
    RemoveServed(kBase + "Update/UpDate.ini");
    RemoveServed(kBase + "UpdateLog/UpdateLog.ini");
  }
  void TearDown() override {
    ::DeleteFileW((InstallFolder() + L"delete.bat").c_str());
    ::DeleteFileW((InstallFolder() + L"script-ran.txt").c_str());
    ::DeleteFileW((InstallFolder() + L"Update_Logo.txt").c_str());
  }
};

TEST_F(DialogTest, OpensReadyWithEveryControl) {
  ServeBytes(kBase + "UpdateLog/UpdateLog.ini", "v1.1\r\nfixes\r\n");
  DialogRun ui;
  ASSERT_NE(nullptr, ui.hwnd());

  EXPECT_EQ(L"更新", ui.Text(IDC_BTN_UPDATE));
  EXPECT_TRUE(ui.Enabled(IDC_BTN_UPDATE));
  EXPECT_EQ(L"退出", ui.Text(IDC_BTN_EXIT));
  EXPECT_TRUE(ui.Enabled(IDC_BTN_EXIT));
  EXPECT_FALSE(ui.Visible(IDC_STATUS));
  EXPECT_EQ(L"正在更新中...", ui.Text(IDC_STATUS));
  EXPECT_EQ(L"", ui.Text(IDC_CURRENT_FILE));
  EXPECT_EQ(L"0个(当前已下载文件个数)/0个(总文件个数)", ui.Text(IDC_COUNT));
  EXPECT_EQ(L"0.0k/s(下载速度)", ui.Text(IDC_SPEED));
  EXPECT_EQ(L"v1.1\r\nfixes\r\n", ui.Text(IDC_LOG));
  EXPECT_TRUE(ui.Visible(IDC_PROGRESS));
  EXPECT_EQ(ui.Item(IDC_BTN_UPDATE), ::GetFocus() ? ::GetFocus() : ui.Item(IDC_BTN_UPDATE));

  wchar_t welcome[256] = {};
  HWND first = ::GetWindow(ui.hwnd(), GW_CHILD);
  ::GetWindowTextW(first, welcome, 256);
  EXPECT_EQ(std::wstring(L"  欢迎使用自动更新程序，该程序将使用互联网升级您的程序，请确认系统已经联接上互联网。"),
            welcome);

  // Columns and their widths at the window's DPI (250 and 234 at 96).
  const int dpi = WindowDpi(ui.hwnd());
  HWND list = ui.Item(IDC_FILE_LIST);
  const auto style = ::SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
  EXPECT_EQ(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT, style & (LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT));
  wchar_t heading[64] = {};
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH;
  column.pszText = heading;
  column.cchTextMax = 64;
  ASSERT_TRUE(::SendMessageW(list, LVM_GETCOLUMNW, 0, reinterpret_cast<LPARAM>(&column)));
  EXPECT_EQ(std::wstring(L"文件名"), heading);
  EXPECT_EQ(FileListColumnWidth(0, dpi), column.cx);
  ASSERT_TRUE(::SendMessageW(list, LVM_GETCOLUMNW, 1, reinterpret_cast<LPARAM>(&column)));
  EXPECT_EQ(std::wstring(L"文件状态"), heading);
  EXPECT_EQ(FileListColumnWidth(1, dpi), column.cx);

  // Window styles: no maximise box, fixed frame, a taskbar button.
  const LONG_PTR windowStyle = ::GetWindowLongPtrW(ui.hwnd(), GWL_STYLE);
  EXPECT_TRUE(windowStyle & WS_MINIMIZEBOX);
  EXPECT_FALSE(windowStyle & WS_MAXIMIZEBOX);
  EXPECT_FALSE(windowStyle & WS_THICKFRAME);
  EXPECT_TRUE(::GetWindowLongPtrW(ui.hwnd(), GWL_EXSTYLE) & WS_EX_APPWINDOW);
  EXPECT_TRUE(::GetWindowLongPtrW(ui.Item(IDC_COUNT), GWL_EXSTYLE) & WS_EX_RIGHT);
  EXPECT_TRUE(::GetWindowLongPtrW(ui.Item(IDC_LOG), GWL_STYLE) & ES_READONLY);
  EXPECT_EQ(IconSide(SM_CXICON, dpi),
            IconWidth(reinterpret_cast<HICON>(::SendMessageW(ui.hwnd(), WM_GETICON, ICON_BIG, 0))));
  EXPECT_EQ(IconSide(SM_CXSMICON, dpi),
            IconWidth(reinterpret_cast<HICON>(::SendMessageW(ui.hwnd(), WM_GETICON, ICON_SMALL, 0))));
}

// The manifest this program carries, like Updater.exe: a malformed one would
// be ignored here or keep the program from starting on Windows.
TEST(UpdaterManifest, SelectsCommonControls6AndPerMonitorAwareness) {
  // With Common Controls 6 the module that draws a button in the system's
  // visual style is comctl32's, not user32's: the class name resolves through
  // the manifest's activation context. (Its DllGetVersion cannot tell: Wine
  // answers 5.81 from both.)
  const HWND button = ::CreateWindowExW(0, L"Button", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                        nullptr, nullptr);
  ASSERT_NE(nullptr, button);
  HMODULE owner = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(::GetWindowLongPtrW(button, GWLP_WNDPROC)), &owner);
  ::DestroyWindow(button);
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(owner, path, MAX_PATH);
  std::wstring name = path;
  name = name.substr(name.rfind(L'\\') + 1);
  for (wchar_t& c : name) c = static_cast<wchar_t>(::towlower(c));
  EXPECT_EQ(L"comctl32.dll", name) << WideToUtf8(path);

  const HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
  using ContextFn = HANDLE(WINAPI*)();
  using AwarenessFn = int(WINAPI*)(HANDLE);
  const auto context = reinterpret_cast<ContextFn>(
      reinterpret_cast<void*>(::GetProcAddress(user32, "GetThreadDpiAwarenessContext")));
  const auto awareness = reinterpret_cast<AwarenessFn>(
      reinterpret_cast<void*>(::GetProcAddress(user32, "GetAwarenessFromDpiAwarenessContext")));
  if (!context || !awareness) GTEST_SKIP() << "a system without DPI awareness contexts";
  EXPECT_EQ(2, awareness(context())) << "DPI_AWARENESS_PER_MONITOR_AWARE";
}

// What the system sends when the window moves to a monitor of another scale
// (Wine shows one DPI only, so the message is sent here by hand).
TEST_F(DialogTest, AMoveToAnotherDpiTakesTheSuggestedRectAndResizesColumnsAndIcons) {
  DialogRun ui;
  ASSERT_NE(nullptr, ui.hwnd());
  HWND list = ui.Item(IDC_FILE_LIST);
  const int dpi = WindowDpi(ui.hwnd());
  RECT before{};
  ::GetWindowRect(ui.hwnd(), &before);
  const auto moveTo = [&](int newDpi, RECT suggested) {
    ::SendMessageW(ui.hwnd(), WM_DPICHANGED, MAKEWPARAM(newDpi, newDpi), reinterpret_cast<LPARAM>(&suggested));
    RECT now{};
    ::GetWindowRect(ui.hwnd(), &now);
    EXPECT_EQ(suggested.left, now.left);
    EXPECT_EQ(suggested.top, now.top);
    EXPECT_EQ(suggested.right, now.right);
    EXPECT_EQ(suggested.bottom, now.bottom);
  };

  const RECT larger{before.left + 20, before.top + 10,
                    before.left + 20 + ScaleRounded(before.right - before.left, 3, 2),
                    before.top + 10 + ScaleRounded(before.bottom - before.top, 3, 2)};
  moveTo(dpi * 3 / 2, larger);
  EXPECT_EQ(FileListColumnWidth(0, dpi * 3 / 2), ColumnWidth(list, 0));
  EXPECT_EQ(FileListColumnWidth(1, dpi * 3 / 2), ColumnWidth(list, 1));
  EXPECT_EQ(IconSide(SM_CXICON, dpi * 3 / 2),
            IconWidth(reinterpret_cast<HICON>(::SendMessageW(ui.hwnd(), WM_GETICON, ICON_BIG, 0))));
  EXPECT_EQ(IconSide(SM_CXSMICON, dpi * 3 / 2),
            IconWidth(reinterpret_cast<HICON>(::SendMessageW(ui.hwnd(), WM_GETICON, ICON_SMALL, 0))));
  if (dpi == kDefaultDpi) {
    // The sizes the system uses at 150 %: each icon an image of its own.
    EXPECT_EQ(375, ColumnWidth(list, 0));
    EXPECT_EQ(351, ColumnWidth(list, 1));
    EXPECT_EQ(48, IconWidth(reinterpret_cast<HICON>(::SendMessageW(ui.hwnd(), WM_GETICON, ICON_BIG, 0))));
    EXPECT_EQ(24, IconWidth(reinterpret_cast<HICON>(::SendMessageW(ui.hwnd(), WM_GETICON, ICON_SMALL, 0))));
  }
  // Nothing else changed.
  EXPECT_EQ(L"更新", ui.Text(IDC_BTN_UPDATE));
  EXPECT_TRUE(ui.Enabled(IDC_BTN_UPDATE));
  EXPECT_FALSE(ui.Visible(IDC_STATUS));
  EXPECT_EQ(L"0个(当前已下载文件个数)/0个(总文件个数)", ui.Text(IDC_COUNT));

  // And back.
  moveTo(dpi, before);
  EXPECT_EQ(FileListColumnWidth(0, dpi), ColumnWidth(list, 0));
  EXPECT_EQ(FileListColumnWidth(1, dpi), ColumnWidth(list, 1));
  EXPECT_EQ(IconSide(SM_CXICON, dpi),
            IconWidth(reinterpret_cast<HICON>(::SendMessageW(ui.hwnd(), WM_GETICON, ICON_BIG, 0))));

  // A run still goes as before after the moves.
  ServeBytes(kBase + "Update/UpDate.ini", "");
  ui.Click(IDC_BTN_UPDATE);
  ASSERT_TRUE(ui.WaitStatus(L"程序已经是最新版,不需要更新."));
}

TEST_F(DialogTest, UnreachableServerEndsInTheNetworkMessage) {
  SetDefaultBaseUrlForTesting(L"http://127.0.0.1:9/Velmora/Qyr/Test/");
  DialogRun ui;
  ASSERT_NE(nullptr, ui.hwnd());
  EXPECT_EQ(L"", ui.Text(IDC_LOG));
  ui.Click(IDC_BTN_UPDATE);
  ASSERT_TRUE(ui.WaitStatus(L"更新信息获取失败,请检测网络是否正常!")) << WideToUtf8(ui.Text(IDC_STATUS));
  EXPECT_EQ(L"更新", ui.Text(IDC_BTN_UPDATE));
  EXPECT_TRUE(ui.Visible(IDC_STATUS));
  EXPECT_EQ(L"", ui.Text(IDC_CURRENT_FILE));
  EXPECT_EQ(L"0.0k/s(下载速度)", ui.Text(IDC_SPEED));
  EXPECT_FALSE(PathExists(InstallFolder() + L"LocalDate.ini"));
  EXPECT_FALSE(PathExists(InstallFolder() + L"UpDate.ini"));
}

TEST_F(DialogTest, UpToDateFolderNeedsNoUpdateAndCanRunAgain) {
  ServeBytes(kBase + "Update/UpDate.ini", "");
  DialogRun ui;
  ui.Click(IDC_BTN_UPDATE);
  ASSERT_TRUE(ui.WaitStatus(L"程序已经是最新版,不需要更新."));
  EXPECT_EQ(L"更新", ui.Text(IDC_BTN_UPDATE));
  EXPECT_EQ(0, ui.Rows());
  EXPECT_FALSE(PathExists(InstallFolder() + L"LocalDate.ini"));
  EXPECT_FALSE(PathExists(InstallFolder() + L"UpDate.ini"));

  // A second press runs the whole check again.
  ClearRequestLog();
  ui.Click(IDC_BTN_UPDATE);
  ASSERT_TRUE(WaitUntil([&] { return !RequestsFor(kBase + "Update/UpDate.ini").empty(); }, kWaitMs));
  ASSERT_TRUE(ui.WaitStatus(L"程序已经是最新版,不需要更新."));
}

TEST_F(DialogTest, ASecondPressReadsEveryFileWhateverTheCacheSays) {
  const std::wstring probe = InstallFolder() + L"probe.dat";
  ServeBytes(kBase + "Update/probe.dat", "NEW1");
  ServeBytes(kBase + "Update/UpDate.ini", "probe.dat\t" + Md5::HexOf("NEW1") + "\r\n");
  WriteBytes(probe, "OLD1");
  // Past the racy margin, so a cache written now may vouch for the file.
  ::Sleep(2100);
  // A cache that is wrong about the file while every time it notes matches:
  // nothing the listing shows can tell.
  FILE_BASIC_INFO times{};
  LARGE_INTEGER size{};
  {
    HANDLE file = ::CreateFileW(probe.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    const bool read = ::GetFileInformationByHandleEx(file, FileBasicInfo, &times, sizeof(times)) &&
                      ::GetFileSizeEx(file, &size);
    ::CloseHandle(file);
    ASSERT_TRUE(read);
  }
  DigestCacheWriter lie;
  Md5 newDigest;
  newDigest.Update("NEW1", 4);
  lie.Add(DigestCacheKey(L"probe.dat"),
          {static_cast<std::uint64_t>(size.QuadPart), static_cast<std::uint64_t>(times.LastWriteTime.QuadPart),
           static_cast<std::uint64_t>(times.CreationTime.QuadPart), static_cast<std::uint64_t>(times.ChangeTime.QuadPart)},
          newDigest.Final());
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  WriteBytes(InstallFolder() + L"LocalDigest.cache",
             lie.Serialize((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime));

  DialogRun ui;
  ui.Click(IDC_BTN_UPDATE);
  ASSERT_TRUE(ui.WaitStatus(L"程序已经是最新版,不需要更新.")) << "the first press trusts the cache";
  ui.Click(IDC_BTN_UPDATE);
  ASSERT_TRUE(ui.WaitStatus(L"更新成功.")) << WideToUtf8(ui.Text(IDC_STATUS));
  EXPECT_EQ("NEW1", ReadBytes(probe));
  // The list answers a reader on another thread from the dialog's rows.
  ASSERT_EQ(1, ui.Rows());
  EXPECT_EQ(L"probe.dat", ui.Cell(0, 0));
  EXPECT_EQ(L"0.00K(当前大小)/0.00K(总大小) \r\n", ui.Cell(0, 1));
  // The run's hand-off script would wait for this program to end: close
  // with the marker instead, and let it finish before the next test.
  PlaceMarkerScript();
  ui.Click(IDC_BTN_UPDATE);
  ASSERT_TRUE(ui.WaitEnded());
  EXPECT_TRUE(WaitUntil([] { return ScriptRuns() == 1; }, kWaitMs));
}

TEST_F(DialogTest, ExitButtonEscAndCloseEachStartTheScriptOnce) {
  const auto closeWith = [](auto close) {
    PlaceMarkerScript();
    const int before = ScriptRuns();
    DialogRun ui;
    ASSERT_NE(nullptr, ui.hwnd());
    close(ui);
    ASSERT_TRUE(ui.WaitEnded());
    EXPECT_EQ(IDCANCEL, ui.Result());
    ASSERT_TRUE(WaitUntil([&] { return ScriptRuns() == before + 1; }, kWaitMs));
  };
  closeWith([](DialogRun& ui) { ui.Click(IDC_BTN_EXIT); });
  closeWith([](DialogRun& ui) { ui.Key(ui.Item(IDC_BTN_UPDATE), VK_ESCAPE); });
  closeWith([](DialogRun& ui) { ::PostMessageW(ui.hwnd(), WM_CLOSE, 0, 0); });
  ::Sleep(1500);
  EXPECT_EQ(3, ScriptRuns());
}

TEST_F(DialogTest, EnterOnTheFileListEndsWithoutTheScript) {
  PlaceMarkerScript();
  DialogRun ui;
  ASSERT_NE(nullptr, ui.hwnd());
  ::SendMessageW(ui.hwnd(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(ui.Item(IDC_FILE_LIST)), TRUE);
  ui.Key(ui.Item(IDC_FILE_LIST), VK_RETURN);
  ASSERT_TRUE(ui.WaitEnded());
  EXPECT_EQ(IDOK, ui.Result());
  ::Sleep(1500);
  EXPECT_EQ(0, ScriptRuns());
  EXPECT_TRUE(PathExists(InstallFolder() + L"delete.bat"));
}

TEST_F(DialogTest, ExitDuringATricklingRunStopsTheWorkerThenStartsTheScript) {
  // The manifest arrives a byte a second: the run would last minutes, but the
  // worker sees the stop between reads. (A stall that no read returns from
  // ends the process instead; the end-to-end suite closes during one.)
  SetFaults(R"({"paths": {")" + kBase + R"(Update/UpDate.ini": {"trickle": {"after": 0, "interval": 1}}}})");
  ServeBytes(kBase + "Update/UpDate.ini", "a.dll\t" + Md5::HexOf("a") + "\r\nb.dll\t" + Md5::HexOf("b") + "\r\n");
  PlaceMarkerScript();
  DialogRun ui;
  ui.Click(IDC_BTN_UPDATE);
  ASSERT_TRUE(WaitUntil([&] { return !RequestsFor(kBase + "Update/UpDate.ini").empty(); }, kWaitMs));
  EXPECT_FALSE(ui.Enabled(IDC_BTN_UPDATE));
  EXPECT_EQ(L"获取新版本信息...", ui.Text(IDC_STATUS));

  const DWORD start = ::GetTickCount();
  ui.Click(IDC_BTN_EXIT);
  ASSERT_TRUE(ui.WaitEnded(15000));
  EXPECT_LT(::GetTickCount() - start, 10000u);
  EXPECT_EQ(IDCANCEL, ui.Result());
  ASSERT_TRUE(WaitUntil([] { return ScriptRuns() == 1; }, kWaitMs));
}

}  // namespace
