// Widgets from dialog templates (see template_builder.h).
#include "pages/wx/template_builder.h"

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/gauge.h>
#include <wx/listctrl.h>
#include <wx/utils.h>
#include <wx/settings.h>
#include <wx/spinbutt.h>
#include <wx/statbmp.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/valtext.h>

#include <algorithm>
#include <cmath>

#include "app/wx/app_icon.h"

namespace kwx {

namespace {

wxString Text(const char* text) { return wxString::FromUTF8(text ? text : ""); }

// Long enough that no toolkit's smallest button is wider: what such a
// button adds to its label is the room it keeps around any label.
constexpr const char* kProbeLabel = "Wwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwww";

wxSize ExtentOf(wxWindow* window, const wxFont& font, const wxString& text) {
  int width = 0;
  int height = 0;
  window->GetTextExtent(text, &width, &height, nullptr, nullptr, &font);
  return wxSize(width, height);
}

// What a control of `kind` wants around its label, measured on a throw-away
// control of the same kind and font.
wxSize LabelMargin(wxWindow* window, const wxFont& font, ControlKind kind) {
  wxControl* probe = nullptr;
  if (kind == ControlKind::PushButton)
    probe = new wxButton(window, wxID_ANY, kProbeLabel, wxPoint(-1000, -1000));
  else if (kind == ControlKind::StaticText)
    probe = new wxStaticText(window, wxID_ANY, kProbeLabel, wxPoint(-1000, -1000));
  if (probe == nullptr) return wxSize(0, 0);
  probe->Hide();
  probe->SetFont(font);
  const wxSize best = probe->GetBestSize();
  probe->Destroy();
  const wxSize text = ExtentOf(window, font, kProbeLabel);
  return wxSize(std::max(0, best.x - text.x), std::max(0, best.y - text.y));
}

wxWindow* CreateControl(wxWindow* parent, const DialogControl& c, const wxRect& rect) {
  const int id = WxIdForControl(c.id);
  const wxPoint pos = rect.GetPosition();
  const wxSize size = rect.GetSize();
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

// The width and height that template texts need in the controls drawn in
// one font on one window: the text (without its mnemonic marker) plus what
// the toolkit puts around it in a control of that kind, measured once per
// kind.
class TextNeeds {
 public:
  TextNeeds(wxWindow* window, const wxFont& font) : window_(window), font_(font) {}

  // {0, 0} for kinds that show no template text.
  wxSize Of(ControlKind kind, const char* text) {
    if (text == nullptr || *text == '\0') return wxSize(0, 0);
    const wxSize extent =
        ExtentOf(window_, font_, wxStripMenuCodes(Text(text), wxStrip_Mnemonics));
    switch (kind) {
      case ControlKind::StaticText:
        return extent + Margin(kind);
      case ControlKind::PushButton:
        // Only across: the toolkit's buttons may want more height for their
        // own look than a template gives them, without hiding any text.
        return wxSize(extent.x + Margin(kind).x, extent.y);
      case ControlKind::GroupBox:
        // The label sits in the frame's top line, indented by about a
        // letter on either side.
        return wxSize(extent.x + 2 * DialogBaseUnits(window_, font_).x, 0);
      default:
        return wxSize(0, 0);
    }
  }

 private:
  wxSize Margin(ControlKind kind) {
    auto found = margins_.find(kind);
    if (found == margins_.end())
      found = margins_.emplace(kind, LabelMargin(window_, font_, kind)).first;
    return found->second;
  }

  wxWindow* window_;
  wxFont font_;
  std::map<ControlKind, wxSize> margins_;
};

// A length in dialog units as pixels: starts rounded, as the system's
// conversion does, and spans at least the whole scaled length, so that a
// unit widened for a label gives that label all of its room.
int Start(int units, double perUnit) { return static_cast<int>(std::lround(units * perUnit)); }
int Span(int units, double perUnit) {
  return static_cast<int>(std::ceil(units * perUnit - 1e-6));
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

wxFont TemplateFont() { return wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT); }

wxSize DialogBaseUnits(wxWindow* window, const wxFont& font) {
  const wxSize letters =
      ExtentOf(window, font, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  return wxSize((letters.x / 26 + 1) / 2, letters.y);
}

TemplateLayout::TemplateLayout(wxWindow* window, const DialogTemplate& dlg, const wxFont& font)
    : dlg_(&dlg) {
  const wxSize base = DialogBaseUnits(window, font);
  unitX_ = base.x / 4.0;
  unitY_ = base.y / 8.0;
  // Where this font's letters are wider than the design's, every unit
  // across grows alike, so the controls keep their places relative to each
  // other and no label is cut.
  TextNeeds needs(window, font);
  for (const DialogControl& c : dlg.controls) {
    const wxSize need = needs.Of(c.kind, c.text);
    if (need.x > 0 && c.w > 0) unitX_ = std::max(unitX_, static_cast<double>(need.x) / c.w);
    if (need.y > 0 && c.h > 0) unitY_ = std::max(unitY_, static_cast<double>(need.y) / c.h);
  }
}

wxRect TemplateLayout::ControlRect(const DialogControl& c) const {
  return wxRect(Start(c.x, unitX_), Start(c.y, unitY_), Span(c.w, unitX_), Span(c.h, unitY_));
}

wxSize TemplateLayout::ClientSize() const {
  return wxSize(Span(dlg_->w, unitX_), Span(dlg_->h, unitY_));
}

TemplateLayout PrepareTemplateWindow(wxWindow* parent, const DialogTemplate& dlg) {
  const wxFont font = TemplateFont();
  parent->SetFont(font);
  return TemplateLayout(parent, dlg, font);
}

std::map<int, wxWindow*> BuildTemplateControls(wxWindow* parent, const TemplateLayout& layout) {
  std::map<int, wxWindow*> controls;
  const DialogTemplate& dlg = layout.dialogTemplate();
  // Group boxes first: a control made before the box that surrounds it
  // would lie beneath the box and lose its border wherever the box paints.
  // Boxes take no focus, so the tab order stays the template's.
  for (bool boxes : {true, false}) {
    for (const DialogControl& c : dlg.controls) {
      if ((c.kind == ControlKind::GroupBox) != boxes) continue;
      wxWindow* window = CreateControl(parent, c, layout.ControlRect(c));
      if (window == nullptr) continue;
      if (c.style & kHidden) window->Hide();
      if (c.style & kDisabled) window->Disable();
      if (c.id != IDC_STATIC) controls[c.id] = window;
    }
  }
  return controls;
}

}  // namespace kwx
