// CSheetFrame: the small pop-up frame (caption "Kelvane", no close box, no
// sizing) owned by the main window, sized exactly around the property sheet.
// CPropSheet: the tabbed sheet with the pages of the mode: Current Job,
// Job Queue (queue mode only), Settings. A page's controls are built when
// it is first selected; the Current Job page is built with the sheet.
// Main thread.
#pragma once

#include <wx/minifram.h>
#include <wx/notebook.h>

#include <vector>

class CCurrentJobPage;
class CQueuePage;
class CSettingsPage;
namespace kwx {
class CPropertyPage;
}

class CPropSheet : public wxNotebook {
 public:
  explicit CPropSheet(wxWindow* parent);

  CCurrentJobPage* currentJobPage() const { return jobPage_; }
  CQueuePage* queuePage() const { return queuePage_; }
  CSettingsPage* settingsPage() const { return settingsPage_; }
  kwx::CPropertyPage* PageAt(size_t index) const;
  // The sheet's size for its largest page.
  wxSize SheetSize() const;

 private:
  void OnPageChanging(wxBookCtrlEvent& event);
  void OnPageChanged(wxBookCtrlEvent& event);

  CCurrentJobPage* jobPage_ = nullptr;
  CQueuePage* queuePage_ = nullptr;
  CSettingsPage* settingsPage_ = nullptr;
  std::vector<kwx::CPropertyPage*> pages_;
  wxDECLARE_EVENT_TABLE();
};

class CSheetFrame : public wxMiniFrame {
 public:
  // Creates the frame and its sheet; nullptr when either cannot be made.
  static CSheetFrame* Create(wxWindow* owner);

  CPropSheet* sheet() const { return sheet_; }

 private:
  explicit CSheetFrame(wxWindow* owner);
  bool BuildSheet();
  void OnActivate(wxActivateEvent& event);
  void OnSetFocus(wxFocusEvent& event);

  CPropSheet* sheet_ = nullptr;
  wxDECLARE_EVENT_TABLE();
};
