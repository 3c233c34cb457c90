// GUI test harness (see gui_harness.h).
#include "tests/gui/gui_harness.h"

#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/image.h>
#include <wx/log.h>
#include <wx/button.h>
#include <wx/stattext.h>
#include <wx/toplevel.h>
#include <wx/uiaction.h>
#include <wx/filefn.h>
#include <wx/utils.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>

#include "app/wx/main_frame.h"
#include "app/wx/sheet_frame.h"
#include "app/wx/tamrel_view.h"
#include "app/wx/vorn95_app.h"
#include "platform/home.h"
#include "app/wx/wx_message_boxes.h"
#include "tests/gui/native_windows.h"
#include "tests/gui/screen_capture.h"

namespace kgui {

namespace {

constexpr int kShownDelayMs = 600;
constexpr int kSystemBoxPollMs = 50;
constexpr int kCloseWaitMs = 15000;

class GuiTestApp : public CVorn95App {
 public:
  bool OnInit() override {
    AddScreenshotHandler();
    // Toolkit diagnostics go to the test log, not into dialogs of their own.
    delete wxLog::SetActiveTarget(new wxLogStderr);
    DialogScript* script = DialogScript::Current();
    if (script) script->StartWatching();
    if (CVorn95App::OnInit()) return true;
    if (script) script->StopWatching();
    return false;
  }

  int OnRun() override {
    wxGUIEventLoop loop;
    wxEventLoopActivator activate(&loop);
    result_ = RUN_ALL_TESTS();
    // Whatever the tests left open closes as the user's Exit would, then
    // without asking if a question is still pending.
    if (!wxTopLevelWindows.empty()) {
      if (CMainFrame* frame = MainFrame()) frame->Close(true);
      WaitUntil([] { return wxTopLevelWindows.empty(); }, kCloseWaitMs);
    }
    if (DialogScript* script = DialogScript::Current()) script->StopWatching();
    return result_;
  }

  int result() const { return result_; }

 private:
  int result_ = 1;
};

}  // namespace

int RunApplicationWithTests(int argc, char** argv, const std::vector<std::string>& arguments) {
  std::vector<char*> raw;
  for (const std::string& a : arguments) raw.push_back(const_cast<char*>(a.c_str()));
  CVorn95App::SetRawArguments(static_cast<int>(raw.size()), raw.data());
  wxApp::SetInstance(new GuiTestApp);
  const int code = wxEntry(argc, argv);
  return code == 0 ? 0 : 1;
}

void PumpOnce() {
  if (wxTheApp == nullptr) return;
  wxTheApp->Yield(true);
  wxTheApp->ProcessPendingEvents();
  wxTheApp->ProcessIdle();
  wxMilliSleep(5);
}

void Pump(int ms) {
  const wxLongLong end = wxGetLocalTimeMillis() + ms;
  do {
    PumpOnce();
  } while (wxGetLocalTimeMillis() < end);
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  const wxLongLong end = wxGetLocalTimeMillis() + timeoutMs;
  while (!condition()) {
    if (wxGetLocalTimeMillis() >= end) return false;
    PumpOnce();
  }
  return true;
}

CMainFrame* MainFrame() {
  for (wxWindow* w : wxTopLevelWindows)
    if (auto* frame = dynamic_cast<CMainFrame*>(w)) return frame;
  return nullptr;
}

CSheetFrame* SheetFrame() {
  CMainFrame* frame = MainFrame();
  return frame && frame->view() ? frame->view()->sheetFrame() : nullptr;
}

CPropSheet* Sheet() {
  CSheetFrame* sheetFrame = SheetFrame();
  return sheetFrame ? sheetFrame->sheet() : nullptr;
}

std::vector<std::string> TabCaptions() {
  std::vector<std::string> captions;
  if (CPropSheet* sheet = Sheet())
    for (size_t i = 0; i < sheet->GetPageCount(); ++i)
      captions.push_back(sheet->GetPageText(i).ToStdString());
  return captions;
}

void SelectTab(int index) {
  if (CPropSheet* sheet = Sheet()) sheet->SetSelection(static_cast<size_t>(index));
  Pump(200);
}

void Click(wxWindow* window) {
  if (window == nullptr) return;
  wxUIActionSimulator sim;
  const wxRect rect = window->GetScreenRect();
  sim.MouseMove(rect.GetPosition() + wxPoint(rect.width / 2, rect.height / 2));
  Pump(60);
  sim.MouseClick();
  Pump(150);
}

void PressButton(wxWindow* button) {
  if (button == nullptr) return;
  wxCommandEvent click(wxEVT_BUTTON, button->GetId());
  click.SetEventObject(button);
  button->GetEventHandler()->ProcessEvent(click);
}

std::string LabelOf(wxWindow* window) {
  return window ? window->GetLabel().ToStdString() : std::string();
}

std::string ArtefactDirectory() {
  const char* dir = std::getenv("KELVANE_GUI_ARTEFACTS");
  std::string path = dir && *dir ? dir : ".";
  if (!wxDirExists(path)) wxMkdir(path);
  return path;
}

std::string SaveScreenshot(wxWindow* window, const std::string& name) {
  if (window == nullptr) return "";
  window->Update();
  Pump(200);
  const wxRect rect = window->GetScreenRect();
  if (rect.width <= 0 || rect.height <= 0) return "";
  wxImage image;
  if (!CaptureScreen(rect, image)) return "";
  const std::string path = ArtefactDirectory() + "/" + name + "." + ScreenshotExtension();
  return image.SaveFile(path, ScreenshotType()) ? path : "";
}

int CountColours(const std::string& path) {
  wxImage image;
  if (!image.LoadFile(path, ScreenshotType())) return 0;
  std::set<unsigned long> colours;
  const unsigned char* data = image.GetData();
  const long pixels = static_cast<long>(image.GetWidth()) * image.GetHeight();
  for (long i = 0; i < pixels && colours.size() < 1000; ++i)
    colours.insert((static_cast<unsigned long>(data[3 * i]) << 16) |
                   (static_cast<unsigned long>(data[3 * i + 1]) << 8) | data[3 * i + 2]);
  return static_cast<int>(colours.size());
}

std::optional<bool> IsStackedAbove(wxWindow* upper, wxWindow* lower) {
  // Requests to raise or lower windows reach the system when the toolkit
  // next runs its loop.
  Pump(100);
  return native::IsStackedAbove(upper, lower);
}

ShownDialog ShownDialog::SystemBox(void* window) {
  ShownDialog shown(nullptr);
  shown.box_ = window;
  return shown;
}

void ShownDialog::Press(int wxId) {
  if (box_) {
    native::PressSystemBoxButton(box_, kwx::ResultForWxId(wxId));
  } else if (wxWindow* button = dialog_->FindWindow(wxId)) {
    PressButton(button);
  } else if (dialog_->IsModal()) {
    dialog_->EndModal(wxId);
  }
}

void ShownDialog::PressEscape() {
  if (box_) {
    native::PressSystemBoxEscape(box_);
    return;
  }
  // As the keyboard's Escape arrives: the dialog's key hook sees it first.
  wxKeyEvent escape(wxEVT_CHAR_HOOK);
  escape.m_keyCode = WXK_ESCAPE;
  escape.SetEventObject(dialog_);
  dialog_->GetEventHandler()->ProcessEvent(escape);
}

void ShownDialog::PressCloseBox() {
  if (box_)
    native::PressSystemBoxCloseBox(box_);
  else
    dialog_->Close();
}

bool ShownDialog::Waiting() const {
  if (box_) return native::SystemBoxWaiting(box_);
  // An ended dialog has its answer at once; wxMSW still calls it modal
  // until its loop has returned.
  return dialog_->IsModal() && dialog_->GetReturnCode() == 0;
}

namespace {

DialogScript* g_script = nullptr;  // main thread only

class PollTimer final : public wxTimer {
 public:
  explicit PollTimer(std::function<void()> poll) : poll_(std::move(poll)) {}
  void Notify() override { poll_(); }

 private:
  std::function<void()> poll_;
};

}  // namespace

DialogScript::DialogScript() {
  Register();
  g_script = this;
}

DialogScript::~DialogScript() {
  StopWatching();
  Unregister();
  if (g_script == this) g_script = nullptr;
}

DialogScript* DialogScript::Current() { return g_script; }

void DialogScript::StartWatching() {
  // The system's boxes run loops of their own that the hook above never
  // sees; a timer runs inside those loops too.
  poll_ = std::make_unique<PollTimer>([this] { PollSystemBoxes(); });
  poll_->Start(kSystemBoxPollMs);
}

void DialogScript::StopWatching() {
  if (poll_) poll_->Stop();
  poll_.reset();
}

void DialogScript::Push(Action action) { script_.push_back({std::move(action), nullptr}); }

void DialogScript::Answer(int id) {
  Push([id](ShownDialog&) { return id; });
}

void DialogScript::AfterShown(std::function<void(ShownDialog&)> whileShown) {
  script_.push_back({[](ShownDialog&) { return static_cast<int>(wxID_NONE); },
                     std::move(whileShown)});
}

DialogScript::Step DialogScript::Next(const SeenDialog& seen) {
  seen_.push_back(seen);
  if (script_.empty()) {
    ++unexpected_;
    return {[](ShownDialog&) { return static_cast<int>(wxID_CANCEL); }, nullptr};
  }
  Step step = std::move(script_.front());
  script_.pop_front();
  return step;
}

int DialogScript::Enter(wxDialog* dialog) {
  // Some dialogs (the file dialog) pass through the hook twice on their
  // way to the screen; the script answers each dialog once.
  if (entered_[dialog]++ > 0) return wxID_NONE;
  SeenDialog seen;
  seen.title = dialog->GetTitle().ToStdString();
  for (wxWindow* child : dialog->GetChildren()) {
    if (auto* text = dynamic_cast<wxStaticText*>(child); text && seen.text.empty())
      seen.text = text->GetLabel().ToStdString();
    if (auto* button = dynamic_cast<wxButton*>(child))
      seen.buttons.push_back(button->GetLabel().ToStdString());
  }
  Step step = Next(seen);
  ShownDialog shown(dialog);
  const int id = step.now(shown);
  if (id == wxID_NONE && step.later) {
    // A one-shot timer of the dialog itself: it fires inside the dialog's
    // own loop once the dialog has been drawn. The handler keeps the
    // timer; both go with the dialog.
    auto timer = std::make_shared<wxTimer>(dialog);
    auto later = step.later;
    dialog->Bind(wxEVT_TIMER, [dialog, timer, later](wxTimerEvent&) {
      ShownDialog again(dialog);
      later(again);
    }, timer->GetId());
    timer->StartOnce(kShownDelayMs);
  }
  // A dialog answered at once never shows, and the hook hears no exit for
  // it; the next dialog may well be made at the same address.
  if (id != wxID_NONE) entered_.erase(dialog);
  return id;
}

void DialogScript::Exit(wxDialog* dialog) {
  auto it = entered_.find(dialog);
  if (it != entered_.end() && --it->second <= 0) entered_.erase(it);
}

void DialogScript::PollSystemBoxes() {
  if (polling_) return;  // a step below runs the box's messages itself
  polling_ = true;
  const wxLongLong now = wxGetLocalTimeMillis();
  for (std::size_t i = 0; i < later_.size();) {
    if (later_[i].due > now) {
      ++i;
      continue;
    }
    Later due = std::move(later_[i]);
    later_.erase(later_.begin() + static_cast<long>(i));
    if (native::SystemBoxWaiting(due.box)) {
      ShownDialog shown = ShownDialog::SystemBox(due.box);
      due.call(shown);
    }
  }
  for (void* box : native::OpenSystemBoxes()) {
    if (std::find(handledBoxes_.begin(), handledBoxes_.end(), box) != handledBoxes_.end())
      continue;
    handledBoxes_.push_back(box);
    Step step = Next(native::DescribeSystemBox(box));
    ShownDialog shown = ShownDialog::SystemBox(box);
    const int id = step.now(shown);
    if (id != wxID_NONE)
      shown.Press(id);
    else if (step.later)
      later_.push_back({box, wxGetLocalTimeMillis() + kShownDelayMs, step.later});
  }
  // A box's window may be made again at the same address later.
  handledBoxes_.erase(std::remove_if(handledBoxes_.begin(), handledBoxes_.end(),
                                     [](void* box) { return !native::SystemBoxWaiting(box); }),
                      handledBoxes_.end());
  polling_ = false;
}

}  // namespace kgui
