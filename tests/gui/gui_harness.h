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
#include <map>
#include <memory>
#include <optional>
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
// Where two top-level windows lie in the stacking order of the screen:
// true when `upper` is above `lower`, false when below, nullopt when the
// order cannot be read or either window is not on the screen.
std::optional<bool> IsStackedAbove(wxWindow* upper, wxWindow* lower);
std::string LabelOf(wxWindow* window);

// Saves what the screen shows of `window` as <artefacts>/<name>.png (.bmp
// on Windows); the path, or "" on failure.
std::string SaveScreenshot(wxWindow* window, const std::string& name);
// Number of distinct colours in a saved screenshot (0 when unreadable).
int CountColours(const std::string& path);
std::string ArtefactDirectory();

struct SeenDialog {
  std::string title;
  std::string text;  // the first static text of the dialog, with LF line ends
  std::vector<std::string> buttons;  // button labels, left to right
};

// A dialog that the script answers: one of the toolkit's, or, where the
// program shows the system's own message boxes (Windows), one of those.
class ShownDialog {
 public:
  explicit ShownDialog(wxDialog* dialog) : dialog_(dialog) {}
  static ShownDialog SystemBox(void* window);

  // The toolkit's dialog; nullptr for a system box.
  wxDialog* dialog() const { return dialog_; }
  bool isSystemBox() const { return box_ != nullptr; }
  // Ends it as a click on the button with this wx id would.
  void Press(int wxId);
  // Escape as typed, and a click on the title bar's close box (which a
  // system box may have disabled: then the click does nothing).
  void PressEscape();
  void PressCloseBox();
  // Still on the screen and not answered.
  bool Waiting() const;

 private:
  wxDialog* dialog_ = nullptr;
  void* box_ = nullptr;
};

// Answers every modal dialog and every system message box of the program
// from a script of actions, in order. An action returns the id the dialog
// ends with at once, or wxID_NONE to let it show (then it must be ended
// some other way, e.g. from AfterShown).
class DialogScript : public wxModalDialogHook {
 public:
  using Action = std::function<int(ShownDialog&)>;
  DialogScript();
  ~DialogScript() override;

  void Push(Action action);
  // Ends the dialog at once with `id`.
  void Answer(int id);
  // Lets the dialog show and calls `whileShown` once it has been on the
  // screen for a moment (from the dialog's own loop).
  void AfterShown(std::function<void(ShownDialog&)> whileShown);

  const std::vector<SeenDialog>& seen() const { return seen_; }
  std::size_t pending() const { return script_.size(); }
  // Dialogs that arrived with an empty script (answered with Cancel).
  int unexpected() const { return unexpected_; }

  // The script that answers now, if any; the harness starts its watch for
  // system boxes with the application and stops it before the end.
  static DialogScript* Current();
  void StartWatching();
  void StopWatching();

 protected:
  int Enter(wxDialog* dialog) override;
  void Exit(wxDialog* dialog) override;

 private:
  struct Step {
    Action now;
    std::function<void(ShownDialog&)> later;
  };
  // The next step for a dialog just seen (Cancel when none is left).
  Step Next(const SeenDialog& seen);
  // Looks for system boxes that came up (Windows), and runs what waits.
  void PollSystemBoxes();

  std::deque<Step> script_;
  std::map<wxDialog*, int> entered_;
  std::vector<SeenDialog> seen_;
  int unexpected_ = 0;
  std::unique_ptr<wxTimer> poll_;
  std::vector<void*> handledBoxes_;
  struct Later {
    void* box;
    wxLongLong due;
    std::function<void(ShownDialog&)> call;
  };
  std::vector<Later> later_;
  bool polling_ = false;
};

}  // namespace kgui
