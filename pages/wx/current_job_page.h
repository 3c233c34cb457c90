// CCurrentJobPage: the sheet's first page (template 130). Shows the job that
// prints or the file last opened, and offers Print, Pause/Resume and Cancel
// Print. It keeps no state: every refresh copies the shared state (see
// pages/current_job_display.h). Others ask it to refresh by posting WM_TIMER
// to the handle it publishes in g_hJobPageWnd.
// Main thread.
#pragma once

#include "pages/wx/property_page.h"

#include <functional>

class CCurrentJobPage : public kwx::CPropertyPage {
 public:
  explicit CCurrentJobPage(wxWindow* parent);
  ~CCurrentJobPage() override;

  // The refresh of OnPaint, callable directly.
  void RefreshFromState();
  void OnPostedMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
  // Called after every refresh request, so the sheet can bring other pages
  // up to date as well.
  void SetRefreshListener(std::function<void()> listener) { listener_ = std::move(listener); }

 protected:
  bool OnInitDialog() override;

 private:
  void OnPaint(wxPaintEvent& event);
  void OnTimer();
  void OnPrint(wxCommandEvent& event);
  void OnPause(wxCommandEvent& event);
  void OnCancelPrint(wxCommandEvent& event);

  std::function<void()> listener_;
  wxDECLARE_EVENT_TABLE();
};
