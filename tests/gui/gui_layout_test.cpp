// Every dialog template laid out in the system's default GUI font: the
// About box (100), the Current Job (130), Job Queue (131) and Settings (133)
// pages and the copies dialog (135), each as the program shows it. No text
// control is narrower than what the system needs to draw its text (its
// natural size, asked of the system's own widget), no static text is lower
// than its line, and the group boxes are drawn before the controls inside
// them, whose frames show.
// Screenshots of each.
// The tests run in order on the GUI thread and share the one application
// (started by hand: no printer, no queue).
#include <gtest/gtest.h>

#include <wx/button.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <string>
#include <vector>

#include "app/wx/main_frame.h"
#include "app/wx/sheet_frame.h"
#include "pages/wx/about_dlg.h"
#include "pages/wx/copies_dlg.h"
#include "pages/wx/current_job_page.h"
#include "pages/wx/queue_page.h"
#include "pages/wx/settings_page.h"
#include "pages/wx/template_builder.h"
#include "platform/profile.h"
#include "res/dialog_templates.h"
#include "res/menu.h"
#include "tests/gui/gui_harness.h"
#include "tests/gui/native_windows.h"
#include "tests/gui/screen_capture.h"
#include "tests/support/test_support.h"

namespace {

constexpr int kStartMs = 10000;

kgui::DialogScript* g_dialogs = nullptr;

// The text controls of a dialog or page, each against what the system
// needs to draw its text whole.
void ExpectTextFits(wxWindow* parent, const std::string& where) {
  int checked = 0;
  for (wxWindow* child : parent->GetChildren()) {
    auto* label = dynamic_cast<wxStaticText*>(child);
    auto* button = dynamic_cast<wxButton*>(child);
    if ((label == nullptr && button == nullptr) || child->GetLabel().empty()) continue;
    const std::string text = child->GetLabel().ToStdString(wxConvUTF8);
    const wxSize laid = child->GetSize();
    const std::optional<wxSize> natural = kgui::native::NaturalSize(child);
    ASSERT_TRUE(natural.has_value()) << where << ": the system cannot measure \"" << text << "\"";
    EXPECT_GE(laid.x, natural->x) << where << ": \"" << text << "\" is cut";
    if (label) {
      // The toolkit's own best size too. (A button's best size is at
      // least the toolkit's standard button, wider than many labels need;
      // its natural size above is what its label needs.)
      EXPECT_GE(laid.x, child->GetBestSize().x) << where << ": \"" << text << "\" is cut";
      EXPECT_GE(laid.y, natural->y) << where << ": \"" << text << "\" is cut at the foot";
    }
    ++checked;
  }
  EXPECT_GT(checked, 0) << where << ": no text control found";
}

// Each group box comes before every control that its frame surrounds, so
// that the system draws it first (the toolkits draw a window's children in
// the order they were made; Windows' first child is the top of the
// z-order, painted first) and never paints over them.
void ExpectGroupBoxesFirst(wxWindow* parent, const std::string& where) {
  for (wxWindow* child : parent->GetChildren()) {
    auto* box = dynamic_cast<wxStaticBox*>(child);
    if (box == nullptr) continue;
    bool seenBox = false;
    for (wxWindow* other : parent->GetChildren()) {
      if (other == box) seenBox = true;
      if (other == box || !box->GetRect().Contains(other->GetRect())) continue;
      EXPECT_TRUE(seenBox) << where << ": \"" << other->GetLabel() << "\" (id " << other->GetId()
                           << ") comes before the group box \"" << box->GetLabel() << "\"";
    }
  }
}

// Each edit inside a group box shows its frame on the screen: where the
// box had painted over it, its top edge and left side would be the
// colour around it.
void ExpectEditFramesShow(wxWindow* parent, const std::string& where) {
  // As the page came up, with no repaint asked for.
  kgui::Pump(300);
  for (wxWindow* child : parent->GetChildren()) {
    if (dynamic_cast<wxTextCtrl*>(child) == nullptr || !child->IsShown()) continue;
    wxRect around = child->GetScreenRect();
    around.Inflate(3);
    wxImage shot;
    ASSERT_TRUE(kgui::CaptureScreen(around, shot)) << where;
    // Just outside the edit's corner: the box's inside.
    const auto colourAt = [&](int x, int y) {
      return wxColour(shot.GetRed(x, y), shot.GetGreen(x, y), shot.GetBlue(x, y));
    };
    const wxColour outside = colourAt(1, 1);
    int edge = 0;
    int framed = 0;
    for (int x = 4; x < around.width - 4; ++x, ++edge)
      if (colourAt(x, 3) != outside) ++framed;
    for (int y = 4; y < around.height - 4; ++y, ++edge)
      if (colourAt(3, y) != outside) ++framed;
    EXPECT_GE(framed * 4, edge * 3) << where << ": the edit " << child->GetId()
                                    << " shows no frame (" << framed << " of " << edge
                                    << " edge pixels differ from " << outside.GetAsString() << ")";
  }
}

// The page's size follows from its template and the controls stay inside.
void ExpectControlsInside(kwx::CPropertyPage* page, const std::string& where) {
  const wxSize client = page->layout().ClientSize();
  EXPECT_GE(page->GetSize().x, client.x) << where;
  for (wxWindow* child : page->GetChildren()) {
    if (!child->IsShown()) continue;
    EXPECT_LE(child->GetRect().GetRight(), client.x) << where << ": id " << child->GetId();
    EXPECT_LE(child->GetRect().GetBottom(), client.y) << where << ": id " << child->GetId();
  }
}

TEST(Layout, DialogUnitsFollowTheFontTheControlsAreDrawnIn) {
  ASSERT_TRUE(kgui::WaitUntil([] { return kgui::SheetFrame() && kgui::SheetFrame()->IsShown(); },
                              kStartMs));
  kwx::CPropertyPage* page = kgui::Sheet()->currentJobPage();
  EXPECT_EQ(page->GetFont(), kwx::TemplateFont());
  const wxSize base = kwx::DialogBaseUnits(page, page->GetFont());
  // Four units across a letter, eight down a line, or wider where a label
  // of the template needs it.
  EXPECT_GE(page->layout().unitX(), base.x / 4.0);
  EXPECT_GE(page->layout().unitY(), base.y / 8.0);
  EXPECT_LT(page->layout().unitX(), base.x / 4.0 * 1.5);
  const DialogControl& print = *FindDialogControl(page->dialogTemplate(), IDC_PRINT);
  EXPECT_EQ(page->Control(IDC_PRINT)->GetPosition(),
            page->layout().ControlRect(print).GetPosition());
  for (wxWindow* child : page->GetChildren()) {
    if (dynamic_cast<wxStaticText*>(child) || dynamic_cast<wxButton*>(child)) {
      EXPECT_EQ(child->GetFont(), page->GetFont()) << child->GetLabel();
    }
  }
}

TEST(Layout, CurrentJobPage) {
  kwx::CPropertyPage* page = kgui::Sheet()->currentJobPage();
  ExpectTextFits(page, "Current Job");
  ExpectGroupBoxesFirst(page, "Current Job");
  ExpectControlsInside(page, "Current Job");
}

TEST(Layout, SettingsPage) {
  kgui::SelectTab(1);
  CSettingsPage* page = kgui::Sheet()->settingsPage();
  ASSERT_TRUE(page->initialised());
  ExpectTextFits(page, "Settings");
  ExpectGroupBoxesFirst(page, "Settings");
  ExpectEditFramesShow(page, "Settings");
  ExpectControlsInside(page, "Settings");
  ASSERT_FALSE(kgui::SaveScreenshot(kgui::SheetFrame(), "layout_settings").empty());
  kgui::SelectTab(0);
}

TEST(Layout, JobQueuePage) {
  // Started by hand the sheet has no Job Queue page: one is made beside
  // the others to be measured.
  auto* page = new CQueuePage(kgui::Sheet());
  page->EnsureInitialised();
  page->Show();
  kgui::Pump(100);
  ExpectTextFits(page, "Job Queue");
  ExpectControlsInside(page, "Job Queue");
  page->Destroy();
  kgui::Pump(50);
}

TEST(Layout, AboutBox) {
  bool checked = false;
  g_dialogs->AfterShown([&](kgui::ShownDialog& shown) {
    ExpectTextFits(shown.dialog(), "About");
    EXPECT_FALSE(kgui::SaveScreenshot(shown.dialog(), "layout_about_box").empty());
    checked = true;
    shown.Press(wxID_OK);
  });
  wxCommandEvent about(wxEVT_MENU, kwx::MenuId(ID_APP_ABOUT));
  kgui::MainFrame()->GetEventHandler()->ProcessEvent(about);
  EXPECT_TRUE(checked);
}

TEST(Layout, CopiesDialog) {
  bool checked = false;
  g_dialogs->AfterShown([&](kgui::ShownDialog& shown) {
    ExpectTextFits(shown.dialog(), "Copies");
    EXPECT_FALSE(kgui::SaveScreenshot(shown.dialog(), "layout_copies_dialog").empty());
    checked = true;
    shown.Press(wxID_CANCEL);
  });
  CCopiesDlg dialog(nullptr);
  dialog.m_nCopies = 1;
  EXPECT_EQ(dialog.DoModal(), wxID_CANCEL);
  EXPECT_TRUE(checked);
  EXPECT_EQ(g_dialogs->unexpected(), 0);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  kt::TempHome home;
  home.InstallKey();
  // Printers for the Settings page to list where the system's own list is
  // [devices] (on Windows the system's installed printers are listed).
  plat::WriteProfileString("devices", "VORNA Tamrel", "winspool,LPT1:");
  kgui::DialogScript dialogs;
  g_dialogs = &dialogs;
  return kgui::RunApplicationWithTests(argc, argv, {"kelvane"});
}
