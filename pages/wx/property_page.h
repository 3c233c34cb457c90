// The base of the sheet's pages: a panel sized from its dialog template
// whose controls are built, and whose initialisation runs, once, when the
// page is first shown (the first page at once, the others when their tab
// is first selected). Each page has a window handle so that boxes can name
// it as their owner and posts can reach it.
// Main thread.
#pragma once

#include <wx/panel.h>

#include <map>

#include "app/wx/wx_windows.h"
#include "pages/wx/template_builder.h"
#include "platform/win_types.h"
#include "res/dialog_templates.h"

namespace kwx {

class CPropertyPage : public wxPanel, public MessageTarget {
 public:
  CPropertyPage(wxWindow* parent, int templateId);
  ~CPropertyPage() override;

  // Builds the controls and runs OnInitDialog the first time; later calls
  // do nothing.
  void EnsureInitialised();
  bool initialised() const { return initialised_; }
  // The page becomes the sheet's current page / stops being it. A false
  // OnKillActive keeps the page current.
  virtual void OnSetActive() {}
  virtual bool OnKillActive() { return true; }

  const DialogTemplate& dialogTemplate() const { return *template_; }
  const TemplateLayout& layout() const { return layout_; }
  wxString caption() const;
  HWND handle() const { return handle_; }
  wxWindow* Control(int id) const;

  void OnPostedMessage(UINT, WPARAM, LPARAM) override {}

 protected:
  virtual bool OnInitDialog() { return true; }

 private:
  const DialogTemplate* template_;
  TemplateLayout layout_;
  std::map<int, wxWindow*> controls_;
  bool initialised_ = false;
  HWND handle_;
};

}  // namespace kwx
