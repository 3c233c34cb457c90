// CMainFrame (see main_frame.h).
#include "app/wx/main_frame.h"

#include <wx/accel.h>
#include <wx/app.h>
#include <wx/filename.h>
#include <wx/stdpaths.h>
#include <wx/menu.h>
#include <wx/statusbr.h>
#include <wx/utils.h>

#include <cstdlib>
#include <ctime>
#include <vector>

#include "app/shell/recent_files.h"
#include "app/shell/startup.h"
#include "app/state/spooler_state.h"
#include "app/wx/app_icon.h"
#include "app/wx/tamrel_doc.h"
#include "app/wx/tamrel_view.h"
#include "app/wx/wx_message_boxes.h"
#include "engine/print_thread.h"
#include "pages/printer_wait_text.h"
#include "platform/clock.h"
#include "platform/home.h"
#include "platform/message_box.h"
#include "res/menu.h"
#include "res/string_ids.h"
#include "res/string_table.h"

namespace {

constexpr int kSchedulerTimerId = 1;
constexpr long kIndicatorPollMs = 250;

int WxKey(int key) {
  switch (key) {
    case VK_BACK: return WXK_BACK;
    case VK_INSERT: return WXK_INSERT;
    case VK_DELETE: return WXK_DELETE;
    case VK_F6: return WXK_F6;
    default: return key;
  }
}

int WxModifiers(std::uint32_t modifiers) {
  int flags = wxACCEL_NORMAL;
  if (modifiers & FCONTROL) flags |= wxACCEL_CTRL;
  if (modifiers & FSHIFT) flags |= wxACCEL_SHIFT;
  if (modifiers & FALT) flags |= wxACCEL_ALT;
  return flags;
}

const char* HelpStringFor(int command) {
  switch (command) {
    case ID_FILE_OPEN: return "Open a file to print";
    case ID_APP_EXIT: return "Quit Kelvane; a printing job stops";
    case ID_APP_ABOUT: return "Display program information and version";
    case ID_HELP_INDEX: return "List Help topics";
    case ID_HELP_USING: return "Display instructions about how to use Help";
    case ID_FILE_MRU_FILE1: return "Open this file";
    default: return "";
  }
}

// Beside the other files of KELVANE_HOME, spelt the system's way.
std::string RecentFilesPath() {
  return wxFileName(wxString::FromUTF8(plat::KelvaneHome().c_str()), "kelvane.ini")
      .GetFullPath()
      .ToStdString(wxConvUTF8);
}

// Ends every dialog that runs a modal loop: our boxes (the system's or the
// toolkit's) with their refusing answer (Cancel, or Abort on a box without
// Cancel), any other with Cancel.
void EndModalDialogs() {
  plat::EndSystemMessageBoxes();
  for (wxWindow* window : wxTopLevelWindows) {
    auto* dialog = dynamic_cast<wxDialog*>(window);
    if (dialog == nullptr || !dialog->IsModal()) continue;
    if (auto* box = dynamic_cast<kwx::CMessageBoxDlg*>(dialog))
      box->Refuse();
    else
      dialog->EndModal(wxID_CANCEL);
  }
}

}  // namespace

wxBEGIN_EVENT_TABLE(CMainFrame, wxFrame)
  EVT_CLOSE(CMainFrame::OnClose)
  EVT_TIMER(kSchedulerTimerId, CMainFrame::OnTimer)
  EVT_MENU(kwx::MenuId(ID_APP_EXIT), CMainFrame::OnExit)
  EVT_MENU(kwx::MenuId(ID_HELP_INDEX), CMainFrame::OnHelpIndex)
  EVT_MENU(kwx::MenuId(ID_HELP_USING), CMainFrame::OnHelpUsing)
  EVT_MENU(kwx::MenuId(ID_FILE_NEW), CMainFrame::OnNeutralised)
  EVT_MENU_RANGE(kwx::MenuId(ID_FILE_MRU_FILE1), kwx::MenuId(ID_FILE_MRU_FILE1) + kRecentFileCount - 1,
                 CMainFrame::OnRecentFile)
  EVT_IDLE(CMainFrame::OnIdleIndicators)
wxEND_EVENT_TABLE()

CMainFrame::CMainFrame(CTamrelDoc* document, std::function<void(HWND)> openToDriver)
    : document_(document),
      handle_(kwx::MainWindowHandle()),
      timer_(this, kSchedulerTimerId),
      history_(kRecentFileCount, kwx::MenuId(ID_FILE_MRU_FILE1)) {
  const FrameGeometry g = PrepareFrameGeometry();
  Create(nullptr, wxID_ANY, "Kelvane", wxPoint(g.x, g.y), wxSize(g.width, g.height),
         wxDEFAULT_FRAME_STYLE, "CVorn95App");
  normalRect_ = GetRect();
  SetIcon(kwx::ProgramIcon());
  BuildMenu();
  BuildAccelerators();
  BuildStatusBar();
  view_ = new CTamrelView(this);
  PushEventHandler(document_);
  Bind(wxEVT_MOVE, &CMainFrame::OnMoveOrSize, this);
  Bind(wxEVT_SIZE, &CMainFrame::OnMoveOrSize, this);
  Bind(wxEVT_ICONIZE, &CMainFrame::OnIconize, this);
  Bind(wxEVT_UPDATE_UI, [this](wxUpdateUIEvent& event) {
    const int index = event.GetId() - kwx::MenuId(ID_FILE_MRU_FILE1);
    event.Enable(recentEnabled_ && index < static_cast<int>(history_.GetCount()) &&
                 IsFileOpenEnabled());
  }, kwx::MenuId(ID_FILE_MRU_FILE1), kwx::MenuId(ID_FILE_MRU_FILE1) + kRecentFileCount - 1);

  if (kwx::WxWindowSink* sink = kwx::WxWindowSink::Instance())
    sink->Register(handle_, this, this);
  // Published while no print thread exists yet.
  if (openToDriver) openToDriver(handle_);
  kwx::SetModalEndedCallback([this] { HandleClose(CloseReason::DialogsGone); });
}

CMainFrame::~CMainFrame() {
  kwx::SetModalEndedCallback(nullptr);
  timer_.Stop();
  PopEventHandler(true);  // the document goes with its frame
  if (kwx::WxWindowSink* sink = kwx::WxWindowSink::Instance()) sink->Unregister(handle_);
}

void CMainFrame::BuildMenu() {
  auto* bar = new wxMenuBar;
  for (const MenuDef& def : MainMenu()) {
    auto* menu = new wxMenu;
    for (const MenuItemDef& item : def.items) {
      if (item.flags & kMenuSeparator) {
        menu->AppendSeparator();
        continue;
      }
      wxMenuItem* added = menu->Append(kwx::MenuId(item.command), wxString::FromUTF8(item.text),
                                       HelpStringFor(item.command));
      if (item.flags & kMenuGrayed) added->Enable(false);
    }
    bar->Append(menu, wxString::FromUTF8(def.caption));
  }
  SetMenuBar(bar);
}

void CMainFrame::BuildAccelerators() {
  std::vector<wxAcceleratorEntry> entries;
  for (const AccelDef& a : MainAccelerators())
    entries.emplace_back(WxModifiers(a.modifiers), WxKey(a.key), kwx::MenuId(a.command));
  SetAcceleratorTable(wxAcceleratorTable(static_cast<int>(entries.size()), entries.data()));
}

void CMainFrame::BuildStatusBar() {
  wxStatusBar* bar = CreateStatusBar(4, wxSTB_DEFAULT_STYLE, kwx::MenuId(AFX_IDW_STATUS_BAR));
  const int widths[4] = {-1, 45, 45, 45};
  bar->SetStatusWidths(4, widths);
  SetStatusBarPane(0);
  waitShown_ = wxString::FromUTF8(LoadResString(AFX_IDS_IDLEMESSAGE).c_str());
  SetStatusText(waitShown_, 0);
}

void CMainFrame::ShowPrinterWait() {
  const wxString text = wxString::FromUTF8(
      StatusPaneText(ReadPrinterWait(), plat::GetTickCount(), std::time(nullptr)).c_str());
  if (text == waitShown_) return;
  waitShown_ = text;
  SetStatusText(text, 0);
}

void CMainFrame::OnIdleIndicators(wxIdleEvent& event) {
  event.Skip();
  static wxLongLong lastPoll = 0;
  const wxLongLong now = wxGetLocalTimeMillis();
  if (now - lastPoll < kIndicatorPollMs) return;
  lastPoll = now;
  const wxKeyCode keys[3] = {WXK_CAPITAL, WXK_NUMLOCK, WXK_SCROLL};
  const UINT ids[3] = {ID_INDICATOR_CAPS, ID_INDICATOR_NUM, ID_INDICATOR_SCRL};
  for (int i = 0; i < 3; ++i) {
    const wxString text =
        wxGetKeyState(keys[i]) ? wxString::FromUTF8(LoadResString(ids[i]).c_str()) : wxString();
    if (text != indicators_[i]) {
      indicators_[i] = text;
      SetStatusText(text, i + 1);
    }
  }
}

DWORD CMainFrame::SetTimer(DWORD intervalMs) {
  timer_.Start(static_cast<int>(app::SchedulerIntervalFromEnvironment(intervalMs)));
  return kSchedulerTimerId;
}

void CMainFrame::KillTimer(DWORD) { timer_.Stop(); }

void CMainFrame::OnMoveOrSize(wxEvent& event) {
  event.Skip();
  if (!IsMaximized() && !IsIconized()) normalRect_ = GetRect();
}

void CMainFrame::OnIconize(wxIconizeEvent& event) {
  event.Skip();
  if (view_) view_->FollowMainWindow(event.IsIconized());
}

bool CMainFrame::GetPlacement(WINDOWPLACEMENT& p) {
  p = WINDOWPLACEMENT{};
  p.length = sizeof(WINDOWPLACEMENT);
  p.showCmd = IsIconized() ? SW_SHOWMINIMIZED : (IsMaximized() ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL);
  p.ptMinPositionX = p.ptMinPositionY = -1;
  p.ptMaxPositionX = p.ptMaxPositionY = -1;
  p.rcNormalLeft = normalRect_.GetLeft();
  p.rcNormalTop = normalRect_.GetTop();
  p.rcNormalRight = normalRect_.GetLeft() + normalRect_.GetWidth();
  p.rcNormalBottom = normalRect_.GetTop() + normalRect_.GetHeight();
  return true;
}

void CMainFrame::ApplyPlacement(const WINDOWPLACEMENT& p) {
  const int width = p.rcNormalRight - p.rcNormalLeft;
  const int height = p.rcNormalBottom - p.rcNormalTop;
  if (IsMaximized()) Maximize(false);
  if (IsIconized()) Iconize(false);
  if (width > 0 && height > 0)
    SetSize(p.rcNormalLeft, p.rcNormalTop, width, height);
  switch (p.showCmd) {
    case SW_SHOWMAXIMIZED:
      Show();
      Maximize(true);
      break;
    case SW_SHOWMINIMIZED:
    case SW_MINIMIZE:
      Iconize(true);
      break;
    default:
      Show();
      break;
  }
}

void CMainFrame::OnTimer(wxTimerEvent&) {
  SchedulerTick();
  ShowPrinterWait();
}

void CMainFrame::OnPostedMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      // As the close box's close, for the reason the poster gave.
      HandleClose(CloseReasonOfPost(wParam));
      break;
    case WM_TIMER:
      SchedulerTick();
      ShowPrinterWait();
      break;
    case WM_SPOOLER_PRINTERWAIT:
      // The job page and the queue's first row follow the change at once,
      // not at the next tick.
      ShowPrinterWait();
      {
        HWND jobPage;
        {
          SpoolerLock lock;
          jobPage = g_hJobPageWnd;
        }
        plat::PostMessage(jobPage, WM_TIMER, 0, 0);
      }
      break;
    case WM_SPOOLER_STOP:
      HandleClose(CloseReason::Stop);
      break;
    default:
      DispatchChannelRequest(message, wParam, lParam);
      break;
  }
}

namespace {

// Our dialogs as the close controller sees them.
Dialogs DialogsNow() { return kwx::ModalDepth() > 0 ? Dialogs::Open : Dialogs::None; }

}  // namespace

bool CMainFrame::HandleClose(CloseReason reason) {
  switch (RequestClose(reason, CloseCircumstances{DialogsNow()})) {
    case CloseDecision::Ask:
      if (AskQuitQuestion() != CloseDecision::Close) return false;
      CloseDocumentAndGo();
      return true;
    case CloseDecision::Close:
      CloseDocumentAndGo();
      return true;
    case CloseDecision::Stop:
      AnnounceStop();
      FinishStop();
      return true;
    case CloseDecision::StopUnderDialogs:
      // The frame cannot go under a dialog's loop: the dialogs are ended and
      // the stop finishes once the last one has unwound.
      AnnounceStop();
      EndModalDialogs();
      return false;
    case CloseDecision::FinishStop:
      FinishStop();
      return true;
    case CloseDecision::Refuse:
    case CloseDecision::Defer:
    case CloseDecision::RetryLater:
      return false;
  }
  return false;
}

void CMainFrame::CloseDocumentAndGo() {
  if (closingListener_) closingListener_();
  timer_.Stop();
  SaveRecentFiles();
  document_->OnCloseDocument();
  Destroy();
}

void CMainFrame::AnnounceStop() {
  // The run stops at its next block end even while a dialog is still up,
  // and a prompt it waits for is answered; nobody is there to do it.
  RequestPrintShutdown(QueueAtShutdown::Keep);
  if (closingListener_) closingListener_();
}

void CMainFrame::FinishStop() {
  timer_.Stop();
  SaveRecentFiles();
  StopKeepingQueue();
  Destroy();
}

void CMainFrame::OnClose(wxCloseEvent& event) {
  // A close the toolkit lets us refuse is the close box's, File/Exit's or
  // the one a dialog's end retries; one it does not is the session's end.
  const CloseReason reason = event.CanVeto() ? CloseReason::Requested : CloseReason::Forced;
  if (!HandleClose(reason) && event.CanVeto()) event.Veto();
}

void CMainFrame::OnExit(wxCommandEvent&) { Close(); }

namespace {

// The test's opener, when one is set (main thread only).
std::function<bool(const std::string&)>& ManualOpener() {
  static std::function<bool(const std::string&)> opener;
  return opener;
}

}  // namespace

void CMainFrame::SetManualOpener(std::function<bool(const std::string& path)> opener) {
  ManualOpener() = std::move(opener);
}

std::string CMainFrame::InstalledManualPath() {
  const wxFileName program(wxStandardPaths::Get().GetExecutablePath());
#ifdef __WXMSW__
  // The installer puts the manual, as text, into "manual" beside the
  // programs.
  wxFileName manual(program.GetPath(), "kelvane.txt");
  manual.AppendDir("manual");
#else
  // The package puts an HTML rendering of the manual page into its doc
  // folder: <prefix>/share/doc/kelvane beside <prefix>/bin.
  wxFileName manual(program.GetPath(), "kelvane.html");
  for (const char* dir : {"..", "share", "doc", "kelvane"}) manual.AppendDir(dir);
  manual.Normalize(wxPATH_NORM_DOTS | wxPATH_NORM_ABSOLUTE);
#endif
  return manual.GetFullPath().ToStdString(wxConvUTF8);
}

void CMainFrame::OpenManual() {
  const std::string path = InstalledManualPath();
  const wxString wxPath = wxString::FromUTF8(path.c_str());
  if (!wxFileExists(wxPath)) {
    plat::MessageBox(handle_, "The Kelvane manual is not installed.\r\nIt belongs in " + path,
                     "Kelvane", MB_OK | MB_ICONINFORMATION);
    return;
  }
  bool opened;
  if (ManualOpener()) {
    opened = ManualOpener()(path);
  } else {
#ifdef __WXMSW__
    // A text file: the system opens it with the user's editor (Notepad).
    opened = wxLaunchDefaultApplication(wxPath);
#else
    opened = wxLaunchDefaultBrowser(wxFileName::FileNameToURL(wxFileName(wxPath)));
#endif
  }
  if (!opened)
    plat::MessageBox(handle_, "The Kelvane manual could not be opened:\r\n" + path, "Kelvane",
                     MB_OK | MB_ICONINFORMATION);
}

// Both open the program's manual: it says how the program and its pages
// are used, which is what the system's help index and its help on help
// were for.
void CMainFrame::OnHelpIndex(wxCommandEvent&) { OpenManual(); }

void CMainFrame::OnHelpUsing(wxCommandEvent&) { OpenManual(); }

void CMainFrame::OnNeutralised(wxCommandEvent&) {
  // Ctrl+N: a second document start would re-run the start-up (and, in
  // queue mode, start another print thread); the key does nothing.
}

void CMainFrame::EnableRecentFiles() {
  recentEnabled_ = true;
  LoadRecentFiles();
  RefreshRecentMenu();
}

void CMainFrame::AddRecentFile(const std::string& path) {
  if (!recentEnabled_) return;
  history_.AddFileToHistory(wxString::FromUTF8(path.c_str()));
  RefreshRecentMenu();
  SaveRecentFiles();
}

void CMainFrame::RefreshRecentMenu() {
  wxMenuBar* bar = GetMenuBar();
  if (bar == nullptr) return;
  wxMenu* file = bar->GetMenu(0);
  // The recent section sits between the two separators, at position 2.
  const int first = kwx::MenuId(ID_FILE_MRU_FILE1);
  for (int i = 0; i < kRecentFileCount; ++i)
    if (file->FindItem(first + i)) file->Delete(first + i);
  const size_t count = history_.GetCount();
  if (count == 0) {
    file->Insert(2, first, "Recent File", HelpStringFor(ID_FILE_MRU_FILE1))
        ->Enable(false);
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    wxString path = history_.GetHistoryFile(i);
    path.Replace("&", "&&");
    const wxString label = wxString::Format("&%d %s", static_cast<int>(i + 1), path);
    file->Insert(2 + i, first + static_cast<int>(i), label,
                 HelpStringFor(ID_FILE_MRU_FILE1));
  }
}

void CMainFrame::LoadRecentFiles() {
  const std::vector<std::string> files = app::LoadRecentFiles(RecentFilesPath(), kRecentFileCount);
  // AddFileToHistory puts each file first; add the oldest first.
  for (auto it = files.rbegin(); it != files.rend(); ++it)
    history_.AddFileToHistory(wxString::FromUTF8(it->c_str()));
}

void CMainFrame::SaveRecentFiles() {
  if (!recentEnabled_) return;
  std::vector<std::string> files;
  for (size_t i = 0; i < history_.GetCount(); ++i)
    files.push_back(history_.GetHistoryFile(i).ToStdString(wxConvUTF8));
  app::SaveRecentFiles(RecentFilesPath(), files);
}

void CMainFrame::OnRecentFile(wxCommandEvent& event) {
  const size_t index = static_cast<size_t>(event.GetId() - kwx::MenuId(ID_FILE_MRU_FILE1));
  if (!recentEnabled_ || index >= history_.GetCount() || !IsFileOpenEnabled()) return;
  const std::string path = history_.GetHistoryFile(index).ToStdString(wxConvUTF8);
  if (document_->OnOpenDocument(path)) {
    AddRecentFile(path);
  } else {
    // A file that cannot be opened any more leaves the list.
    history_.RemoveFileFromHistory(index);
    RefreshRecentMenu();
    SaveRecentFiles();
  }
}
