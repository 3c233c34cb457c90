// Builds the widgets of a dialog template (res/dialog_templates.h) on a
// parent window: each control at its template rectangle converted from
// dialog units to pixels with the parent's font, with the template's id,
// text and hidden/disabled/default styles, in template (tab) order.
// Main thread.
#pragma once

#include <wx/gdicmn.h>
#include <wx/window.h>

#include <map>

#include "res/dialog_templates.h"

namespace kwx {

// wx id of a template id: 1 and 2 are the dialog's OK and Cancel.
int WxIdForControl(int templateId);

// The template's size in pixels for `parent`'s font.
wxSize TemplatePixelSize(wxWindow* parent, const DialogTemplate& dlg);

// Creates the controls; returns them by template id (unnamed controls are
// not listed).
std::map<int, wxWindow*> BuildTemplateControls(wxWindow* parent,
                                               const DialogTemplate& dlg);

}  // namespace kwx
