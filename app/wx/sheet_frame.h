// CSheetFrame: the small pop-up frame (caption "Kelvane", no close box, no
// sizing) owned by the main window, sized exactly around the property sheet.
// It floats on its owner: the system keeps an owned pop-up above the window
// that owns it, hides it while the owner is minimised and shows it again
// with the owner; the main frame also raises it with itself.
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
#ifdef __WXMSW__
  // A pop-up: the system moves only owned pop-ups along with their owner
  // (above it when it comes to the top, hidden and shown with it).
  WXDWORD MSWGetStyle(long flags, WXDWORD* exstyle) const override;
#endif
  void OnActivate(wxActivateEvent& event);
  void OnSetFocus(wxFocusEvent& event);

  CPropSheet* sheet_ = nullptr;
  wxDECLARE_EVENT_TABLE();
};
