// Harness of the desktop spooler's GUI tests: runs the real application
// object in this process (the tests run where its main loop would), pumps
// its events while a test waits, answers its modal dialogs from a script,
// clicks buttons with the toolkit's input simulator and saves screenshots as
// artefacts (screen_capture.h). Meant for a virtual X server (xvfb-run; on
// Windows, Wine's windows on the stage's Xvfb).
// Main thread (the tests run on the GUI thread).
#pragma once

#include <wx/dialog.h>
#include <wx/modalhook.h>
#include <wx/timer.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

class CMainFrame;
class CSheetFrame;
class CPropSheet;

namespace kgui {

// Runs the application with `arguments` (argv[0] first) and the gtest suites
// inside it; returns the suites' result, or 1 when the application did not
// start.
int RunApplicationWithTests(int argc, char** argv, const std::vector<std::string>& arguments);

// One round of event handling (toolkit events, queued calls, idle work).
void PumpOnce();
void Pump(int ms);
// Pumps until `condition` holds; false after `timeoutMs`.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);

CMainFrame* MainFrame();
CSheetFrame* SheetFrame();
CPropSheet* Sheet();
// Tab captions, left to right.
std::vector<std::string> TabCaptions();
void SelectTab(int index);

// Clicks the middle of a window with the input simulator, then pumps.
void Click(wxWindow* window);
// Sends a button click straight to a button's handlers (for buttons inside
// dialogs that the script holds open).
void PressButton(wxWindow* button);
std::string LabelOf(wxWindow* window);

// Saves what the screen shows of `window` as <artefacts>/<name>.png (.bmp
// on Windows); the path, or "" on failure.
std::string SaveScreenshot(wxWindow* window, const std::string& name);
// Number of distinct colours in a saved screenshot (0 when unreadable).
int CountColours(const std::string& path);
std::string ArtefactDirectory();

struct SeenDialog {
  std::string title;
  std::string text;  // the first static text of the dialog
};

// Answers every modal dialog from a script of actions, in order. An action
// returns the id the dialog ends with at once, or wxID_NONE to let it show
// (then it must end it itself, e.g. from AfterShown).
class DialogScript : public wxModalDialogHook {
 public:
  using Action = std::function<int(wxDialog*)>;
  DialogScript();
  ~DialogScript() override;

  void Push(Action action);
  // Ends the dialog at once with `id`.
  void Answer(int id);
  // Lets the dialog show and calls `whileShown` once it has been on the
  // screen for a moment (from the dialog's own loop).
  void AfterShown(std::function<void(wxDialog*)> whileShown);

  const std::vector<SeenDialog>& seen() const { return seen_; }
  std::size_t pending() const { return script_.size(); }
  // Dialogs that arrived with an empty script (answered with Cancel).
  int unexpected() const { return unexpected_; }

 protected:
  int Enter(wxDialog* dialog) override;
  void Exit(wxDialog* dialog) override;

 private:
  std::deque<Action> script_;
  std::vector<SeenDialog> seen_;
  int unexpected_ = 0;
};

}  // namespace kgui
