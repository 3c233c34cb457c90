// CTamrelDoc: the document. It holds no data; it anchors the document start
// (command line), File/Open and the document close, all of which are the
// shell's (app/shell/shell.h), and gives File/Open its command state. Pushed in
// front of the main frame's event handlers so that it sees its commands.
// Main thread.
#pragma once

#include <wx/event.h>

#include <string>

class CTamrelDoc : public wxEvtHandler {
 public:
  CTamrelDoc() = default;

  // The new-document handler: the document start with the command line.
  bool OnNewDocument(int argc, const char* const* argv);
  // The open-document handler (File/Open of a chosen path).
  bool OnOpenDocument(const std::string& path);
  // The close-document handler.
  void OnCloseDocument();

 private:
  void OnUpdateFileOpen(wxUpdateUIEvent& event);
  void OnFileSave(wxCommandEvent& event);

  wxDECLARE_EVENT_TABLE();
};
