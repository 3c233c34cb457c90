// Widgets from dialog templates (see template_builder.h).
#include "pages/wx/template_builder.h"

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/gauge.h>
#include <wx/listctrl.h>
#include <wx/spinbutt.h>
#include <wx/statbmp.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/valtext.h>

#include "app/wx/app_icon.h"

namespace kwx {

namespace {

wxString Text(const char* text) { return wxString::FromUTF8(text ? text : ""); }

wxWindow* CreateControl(wxWindow* parent, const DialogControl& c,
                        const wxPoint& pos, const wxSize& size) {
  const int id = WxIdForControl(c.id);
  switch (c.kind) {
    case ControlKind::PushButton: {
      auto* button = new wxButton(parent, id, Text(c.text), pos, size);
      if (c.style & kDefault) button->SetDefault();
      return button;
    }
    case ControlKind::StaticText: {
      long style = wxST_NO_AUTORESIZE;
      style |= (c.style & kCentered) ? wxALIGN_CENTRE_HORIZONTAL : wxALIGN_LEFT;
      return new wxStaticText(parent, id, Text(c.text), pos, size, style);
    }
    case ControlKind::Icon:
      return new wxStaticBitmap(parent, id, ProgramBitmap(), pos);
    case ControlKind::GroupBox:
      return new wxStaticBox(parent, id, Text(c.text), pos, size);
    case ControlKind::Edit: {
      long style = (c.style & kBorder) ? wxBORDER_SUNKEN : wxBORDER_NONE;
      wxTextValidator validator(wxFILTER_NONE);
      if (c.style & kDigitsOnly) validator.SetStyle(wxFILTER_DIGITS);
      return new wxTextCtrl(parent, id, Text(c.text), pos, size, style, validator);
    }
    case ControlKind::ComboBox:
      // The template's height includes the dropped list; the closed box
      // takes its natural height.
      if (c.style & kDropDownList)
        return new wxChoice(parent, id, pos, wxSize(size.x, -1));
      return new wxComboBox(parent, id, wxEmptyString, pos, wxSize(size.x, -1),
                            0, nullptr, wxCB_DROPDOWN);
    case ControlKind::ProgressBar:
      return new wxGauge(parent, id, 100, pos, size,
                         wxGA_HORIZONTAL | wxGA_SMOOTH |
                             ((c.style & kBorder) ? wxBORDER_SUNKEN : wxBORDER_NONE));
    case ControlKind::ListView:
      return new wxListCtrl(parent, id, pos, size,
                            wxLC_REPORT | wxLC_SINGLE_SEL |
                                ((c.style & kBorder) ? wxBORDER_SUNKEN : wxBORDER_NONE));
    case ControlKind::UpDown:
      return new wxSpinButton(parent, id, pos, size, wxSP_VERTICAL | wxSP_ARROW_KEYS);
  }
  return nullptr;
}

}  // namespace

int WxIdForControl(int templateId) {
  switch (templateId) {
    case IDC_OK: return wxID_OK;
    case IDC_CANCEL: return wxID_CANCEL;
    case IDC_STATIC: return wxID_ANY;
    default: return templateId;
  }
}

wxSize TemplatePixelSize(wxWindow* parent, const DialogTemplate& dlg) {
  return parent->ConvertDialogToPixels(wxSize(dlg.w, dlg.h));
}

std::map<int, wxWindow*> BuildTemplateControls(wxWindow* parent,
                                               const DialogTemplate& dlg) {
  std::map<int, wxWindow*> controls;
  for (const DialogControl& c : dlg.controls) {
    const wxPoint pos = parent->ConvertDialogToPixels(wxPoint(c.x, c.y));
    const wxSize size = parent->ConvertDialogToPixels(wxSize(c.w, c.h));
    wxWindow* window = CreateControl(parent, c, pos, size);
    if (window == nullptr) continue;
    if (c.style & kHidden) window->Hide();
    if (c.style & kDisabled) window->Disable();
    if (c.id != IDC_STATIC) controls[c.id] = window;
  }
  return controls;
}

}  // namespace kwx
