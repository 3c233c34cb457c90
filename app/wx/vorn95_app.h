// CVorn95App: the application object of the desktop spooler. Refuses to run
// twice (a second start asks the first to come to the front and ends),
// builds the document, the main frame and its view, installs the toolkit's
// message boxes and window delivery, serves the command channel on the main
// thread and runs the document start with the command line. A failing start
// ends the process without a message.
// Main thread.
#pragma once

#include <wx/app.h>

#include <memory>

#include "app/shell/startup.h"
#include "platform/command_channel.h"
#include "platform/single_instance.h"

class CMainFrame;
class CTamrelDoc;
namespace kwx {
class WxMessageBoxes;
class WxWindowSink;
}

// Exit codes of the program.
inline constexpr int kExitNormal = 0;
inline constexpr int kExitStartFailed = 2;

class CVorn95App : public wxApp {
 public:
  CVorn95App();
  ~CVorn95App() override;

  // The process's own argument vector (as main received it): the document
  // start compares it byte for byte, so it is not taken through the
  // toolkit's conversion.
  static void SetRawArguments(int argc, char** argv);
  // The exit code decided by the start (-1 when the main loop decides).
  static int StartExitCode();
  static CVorn95App* Get();

  bool OnInit() override;
  int OnExit() override;

  CMainFrame* mainFrame() const { return frame_; }
  CTamrelDoc* document() const { return document_; }
  kwx::WxMessageBoxes* messageBoxes() const { return boxes_.get(); }

 private:
  void OnAppAbout(wxCommandEvent& event);
  void OnFileNew(wxCommandEvent& event);
  void OnFileOpen(wxCommandEvent& event);
  void ShutDownServices();
  void RemoveFrontEnd();

  plat::SingleInstance instance_;
  plat::CommandServer server_;
  std::unique_ptr<kwx::WxWindowSink> windows_;
  std::unique_ptr<kwx::WxMessageBoxes> boxes_;
  // The three sinks, installed once the frame exists and removed together.
  std::unique_ptr<app::FrontEndBinding> frontEnd_;
  CTamrelDoc* document_ = nullptr;
  CMainFrame* frame_ = nullptr;

  wxDECLARE_EVENT_TABLE();
};
