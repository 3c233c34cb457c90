// The sheet's page base (see property_page.h).
#include "pages/wx/property_page.h"

#include <cstdlib>

namespace kwx {

namespace {

const DialogTemplate& TemplateOrAbort(int templateId) {
  const DialogTemplate* found = FindDialogTemplate(templateId);
  // A missing template is a build mistake, not a run-time condition.
  if (found == nullptr) std::abort();
  return *found;
}

}  // namespace

CPropertyPage::CPropertyPage(wxWindow* parent, int templateId)
    : wxPanel(parent, wxID_ANY),
      template_(&TemplateOrAbort(templateId)),
      layout_(PrepareTemplateWindow(this, *template_)),
      handle_(NextWindowHandle()) {
  const wxSize size = layout_.ClientSize();
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
  controls_ = BuildTemplateControls(this, layout_);
  OnInitDialog();
}

wxString CPropertyPage::caption() const { return wxString::FromUTF8(template_->caption); }

wxWindow* CPropertyPage::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

}  // namespace kwx
