// CQueuePage: the Job Queue page (template 131), queue mode only. Lists the
// jobs of the queue file with their status, rebuilt from the file whenever
// the page paints; Delete All Jobs asks and then closes the main window
// (whose shutdown stops the job and purges the queue).
// Main thread.
#pragma once

#include "pages/queue_listing.h"
#include "pages/wx/property_page.h"

class CQueuePage : public kwx::CPropertyPage {
 public:
  explicit CQueuePage(wxWindow* parent);

  // One rebuild, as a paint does.
  void RebuildList();

 protected:
  bool OnInitDialog() override;

 private:
  void OnPaint(wxPaintEvent& event);
  void OnDeleteAllJobs(wxCommandEvent& event);

  std::vector<QueueRow> shown_;  // what the list holds now
  wxDECLARE_EVENT_TABLE();
};
