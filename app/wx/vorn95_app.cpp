// CVorn95App (see vorn95_app.h).
#include "app/wx/vorn95_app.h"

#include <wx/filedlg.h>

#include <string>
#include <vector>

#include "app/shell/shell.h"
#include "app/wx/main_frame.h"
#include "app/wx/tamrel_doc.h"
#include "app/wx/wx_message_boxes.h"
#include "app/wx/wx_windows.h"
#include "pages/wx/about_dlg.h"
#include "platform/cups_printers.h"
#include "res/menu.h"

namespace {

// Set by main before the toolkit starts; main thread only afterwards.
std::vector<std::string> g_rawArguments;
int g_startExitCode = -1;

}  // namespace

wxBEGIN_EVENT_TABLE(CVorn95App, wxApp)
  EVT_MENU(kwx::MenuId(ID_APP_ABOUT), CVorn95App::OnAppAbout)
  EVT_MENU(kwx::MenuId(ID_FILE_NEW), CVorn95App::OnFileNew)
  EVT_MENU(kwx::MenuId(ID_FILE_OPEN), CVorn95App::OnFileOpen)
wxEND_EVENT_TABLE()

CVorn95App::CVorn95App() = default;

CVorn95App::~CVorn95App() { ShutDownServices(); }

void CVorn95App::SetRawArguments(int argc, char** argv) {
  g_rawArguments.assign(argv, argv + argc);
}

int CVorn95App::StartExitCode() { return g_startExitCode; }

CVorn95App* CVorn95App::Get() { return static_cast<CVorn95App*>(wxTheApp); }

bool CVorn95App::OnInit() {
  // No wxApp::OnInit: the toolkit's own option parser would refuse "-f".
  SetAppName("kelvane");
  SetClassName("CVorn95App");
  SetVendorName("VORNA");

  if (!app::ClaimSingleInstance(instance_)) {
    g_startExitCode = kExitNormal;
    return false;
  }

  // The Settings page offers the print service's printers beside the
  // [devices] entries.
  plat::UseSystemPrinters();
  windows_ = std::make_unique<kwx::WxWindowSink>();
  boxes_ = std::make_unique<kwx::WxMessageBoxes>();
  document_ = new CTamrelDoc;
  frame_ = new CMainFrame(document_, [this](HWND handle) {
    app::OpenToDriver(server_, handle, [] {
      // Listener thread: the request is served by the main thread.
      if (wxTheApp)
        wxTheApp->CallAfter([] {
          if (CVorn95App* app = CVorn95App::Get()) app->server_.ServePending();
        });
    });
  });
  SetTopWindow(frame_);
  frontEnd_ = std::make_unique<app::FrontEndBinding>(windows_.get(), boxes_.get(), frame_);
  frame_->SetClosingListener([this] {
    // The close is under way: nothing more is served, and a box that the
    // print thread still waits for is answered so it can finish.
    server_.Stop();
    if (boxes_) boxes_->AbandonPending();
  });

  std::vector<const char*> argv;
  for (const std::string& arg : g_rawArguments) argv.push_back(arg.c_str());
  if (argv.empty()) argv.push_back("kelvane");
  argv.push_back(nullptr);
  // Only a hand start (no arguments) keeps a recent-file list.
  if (g_rawArguments.size() <= 1) frame_->EnableRecentFiles();

  if (!document_->OnNewDocument(static_cast<int>(argv.size()) - 1, argv.data())) {
    // As the framework destroys the frame of a failed start, which closes
    // the document.
    server_.Stop();
    document_->OnCloseDocument();
    RemoveFrontEnd();
    frame_->Destroy();
    frame_ = nullptr;
    g_startExitCode = kExitStartFailed;
    return false;
  }
  frame_->Show();
  return true;
}

int CVorn95App::OnExit() {
  ShutDownServices();
  return wxApp::OnExit();
}

void CVorn95App::ShutDownServices() {
  server_.Stop();
  RemoveFrontEnd();
  boxes_.reset();
  windows_.reset();
  document_ = nullptr;  // the frame owns it
  frame_ = nullptr;
}

void CVorn95App::RemoveFrontEnd() {
  // A box the print thread still waits for is answered while the box sink
  // is still ours, as the boxes' own end would.
  if (boxes_ && frontEnd_) boxes_->AbandonPending();
  frontEnd_.reset();
}

void CVorn95App::OnAppAbout(wxCommandEvent&) {
  CAboutDlg about(frame_);
  about.DoModal();
}

void CVorn95App::OnFileNew(wxCommandEvent&) {
  // Neutralised: the document start runs once, at start-up.
}

void CVorn95App::OnFileOpen(wxCommandEvent&) {
  if (!IsFileOpenEnabled() || frame_ == nullptr) return;
  wxString path;
  {
    kwx::ModalGuard modal;
    wxFileDialog dialog(frame_, "Open", wxEmptyString, wxEmptyString, "All Files (*.*)|*",
                        wxFD_OPEN | wxFD_FILE_MUST_EXIST);
    if (dialog.ShowModal() != wxID_OK) return;
    path = dialog.GetPath();
  }
  const std::string chosen = path.ToStdString(wxConvUTF8);
  if (document_->OnOpenDocument(chosen)) frame_->AddRecentFile(chosen);
}

