// What the GUI harness asks the system itself about the program's windows,
// one body per operating system (native_windows_msw.cpp: the Win32 window
// list and the system's message boxes; native_windows_x11.cpp: the X
// server's stacking order and GTK's own widget sizes). Asking the system
// rather than the toolkit lets a test see what the user sees.
// Main thread (the GUI thread).
#pragma once

#include <wx/gdicmn.h>
#include <wx/window.h>

#include <optional>
#include <vector>

#include "tests/gui/gui_harness.h"

namespace kgui::native {

// Whether something keeps the stacking of the screen's windows: the system
// on Windows, a window manager on X11 (a bare X server has none, and what
// a click raises there is nobody's policy).
bool StackingIsManaged();

// See kgui::IsStackedAbove.
std::optional<bool> IsStackedAbove(wxWindow* upper, wxWindow* lower);

// Whether the system knows `window` as a window that `owner` owns and that
// floats on it (Windows: an owned pop-up; X11: transient for it); nullopt
// when it cannot be asked.
std::optional<bool> IsOwnedBy(wxWindow* window, wxWindow* owner);

// The size the system's own widget asks for to show its label whole, as
// the system measures it; nullopt where it cannot be asked.
std::optional<wxSize> NaturalSize(wxWindow* control);

// The system's message boxes of this thread that are on the screen
// (Windows; there are none elsewhere).
std::vector<void*> OpenSystemBoxes();
SeenDialog DescribeSystemBox(void* box);
// Each as ShownDialog's functions of the same names do; `result` is the
// box's button id (IDOK ...).
void PressSystemBoxButton(void* box, int result);
void PressSystemBoxEscape(void* box);
void PressSystemBoxCloseBox(void* box);
bool SystemBoxWaiting(void* box);
// Ends the system's own dialogs of this thread that are not message boxes
// (the file dialog), with Cancel.
void CancelSystemDialogs();

}  // namespace kgui::native
