// Builds the widgets of a dialog template (res/dialog_templates.h) on a
// parent window, with the template's id, text and hidden/disabled/default
// styles, in template (tab) order; group boxes go first, so that the
// controls inside them lie above them and are never painted over.
// TemplateLayout turns the template's dialog units into pixels the way the
// system's dialog manager does, from the font the controls are drawn in,
// and widens the units where a label of the template would not fit in that
// font.
// Main thread.
#pragma once

#include <wx/font.h>
#include <wx/gdicmn.h>
#include <wx/window.h>

#include <map>

#include "res/dialog_templates.h"

namespace kwx {

// wx id of a template id: 1 and 2 are the dialog's OK and Cancel.
int WxIdForControl(int templateId);

// The font the templates are drawn in. They name the 8-point dialog font
// of their day; its place is taken by the system's default GUI font, so a
// page looks like the system's own dialogs.
wxFont TemplateFont();

// A font's dialog base units in pixels, as the system computes them: the
// width is the average width of the 52 Latin letters, rounded; the height
// is the font's line height.
wxSize DialogBaseUnits(wxWindow* window, const wxFont& font);

// Dialog units to pixels for one template drawn in one font.
class TemplateLayout {
 public:
  // Measures with `window`, which must carry `font` when the controls are
  // built on it.
  TemplateLayout(wxWindow* window, const DialogTemplate& dlg, const wxFont& font);

  // A control's rectangle in the parent's client area.
  wxRect ControlRect(const DialogControl& control) const;
  // The template's client size.
  wxSize ClientSize() const;
  // Pixels per dialog unit, across and down.
  double unitX() const { return unitX_; }
  double unitY() const { return unitY_; }
  const DialogTemplate& dialogTemplate() const { return *dlg_; }

 private:
  const DialogTemplate* dlg_;
  double unitX_;
  double unitY_;
};

// Sets the template font on `parent` and returns its layout; call before
// the parent is sized and its controls built.
TemplateLayout PrepareTemplateWindow(wxWindow* parent, const DialogTemplate& dlg);

// Creates the controls; returns them by template id (unnamed controls are
// not listed).
std::map<int, wxWindow*> BuildTemplateControls(wxWindow* parent, const TemplateLayout& layout);

}  // namespace kwx
