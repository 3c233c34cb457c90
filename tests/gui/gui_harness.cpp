// GUI test harness (see gui_harness.h).
#include "tests/gui/gui_harness.h"

#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/image.h>
#include <wx/log.h>
#include <wx/stattext.h>
#include <wx/toplevel.h>
#include <wx/uiaction.h>
#include <wx/filefn.h>
#include <wx/utils.h>

#include <cstdlib>
#include <memory>
#include <set>

#include "app/wx/main_frame.h"
#include "app/wx/sheet_frame.h"
#include "app/wx/tamrel_view.h"
#include "app/wx/vorn95_app.h"
#include "platform/home.h"
#include "tests/gui/screen_capture.h"

namespace kgui {

namespace {

constexpr int kShownDelayMs = 600;
constexpr int kCloseWaitMs = 15000;

class GuiTestApp : public CVorn95App {
 public:
  bool OnInit() override {
    AddScreenshotHandler();
    // Toolkit diagnostics go to the test log, not into dialogs of their own.
    delete wxLog::SetActiveTarget(new wxLogStderr);
    return CVorn95App::OnInit();
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

DialogScript::DialogScript() { Register(); }

DialogScript::~DialogScript() { Unregister(); }

void DialogScript::Push(Action action) { script_.push_back(std::move(action)); }

void DialogScript::Answer(int id) {
  Push([id](wxDialog*) { return id; });
}

void DialogScript::AfterShown(std::function<void(wxDialog*)> whileShown) {
  Push([whileShown](wxDialog* dialog) {
    // A one-shot timer of the dialog itself: it fires inside the dialog's
    // own loop once the dialog has been drawn.
    // The handler keeps the timer; both go with the dialog.
    auto timer = std::make_shared<wxTimer>(dialog);
    dialog->Bind(wxEVT_TIMER, [dialog, timer, whileShown](wxTimerEvent&) {
      whileShown(dialog);
    }, timer->GetId());
    timer->StartOnce(kShownDelayMs);
    return static_cast<int>(wxID_NONE);
  });
}

int DialogScript::Enter(wxDialog* dialog) {
  SeenDialog seen;
  seen.title = dialog->GetTitle().ToStdString();
  for (wxWindow* child : dialog->GetChildren())
    if (auto* text = dynamic_cast<wxStaticText*>(child)) {
      seen.text = text->GetLabel().ToStdString();
      break;
    }
  seen_.push_back(seen);
  if (script_.empty()) {
    ++unexpected_;
    return wxID_CANCEL;
  }
  Action action = std::move(script_.front());
  script_.pop_front();
  return action(dialog);
}

void DialogScript::Exit(wxDialog*) {}

}  // namespace kgui
