// The sheet's page base (see property_page.h).
#include "pages/wx/property_page.h"

#include <cstdlib>

#include "pages/wx/template_builder.h"

namespace kwx {

wxFont TemplateFont() {
  return wxFont(8, wxFONTFAMILY_SWISS, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_NORMAL);
}

CPropertyPage::CPropertyPage(wxWindow* parent, int templateId)
    : wxPanel(parent, wxID_ANY),
      template_(FindDialogTemplate(templateId)),
      handle_(NextWindowHandle()) {
  // A missing template is a build mistake, not a run-time condition.
  if (template_ == nullptr) std::abort();
  SetFont(TemplateFont());
  const wxSize size = TemplatePixelSize(this, *template_);
  SetMinSize(size);
  SetSize(size);
  if (WxWindowSink* sink = WxWindowSink::Instance()) sink->Register(handle_, this, this);
}

CPropertyPage::~CPropertyPage() {
  if (WxWindowSink* sink = WxWindowSink::Instance()) sink->Unregister(handle_);
}

void CPropertyPage::EnsureInitialised() {
  if (initialised_) return;
  initialised_ = true;
  controls_ = BuildTemplateControls(this, *template_);
  OnInitDialog();
}

wxString CPropertyPage::caption() const { return wxString::FromUTF8(template_->caption); }

wxWindow* CPropertyPage::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

}  // namespace kwx
