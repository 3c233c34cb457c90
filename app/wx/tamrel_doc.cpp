// CTamrelDoc (see tamrel_doc.h).
#include "app/wx/tamrel_doc.h"

#include "app/shell/shell.h"
#include "app/wx/wx_windows.h"
#include "res/menu.h"

wxBEGIN_EVENT_TABLE(CTamrelDoc, wxEvtHandler)
  EVT_UPDATE_UI(kwx::MenuId(ID_FILE_OPEN), CTamrelDoc::OnUpdateFileOpen)
  EVT_MENU(kwx::MenuId(ID_FILE_SAVE), CTamrelDoc::OnFileSave)
wxEND_EVENT_TABLE()

bool CTamrelDoc::OnNewDocument(int argc, const char* const* argv) {
  return DocumentStart(argc, argv);
}

bool CTamrelDoc::OnOpenDocument(const std::string& path) { return FileOpen(path); }

void CTamrelDoc::OnCloseDocument() { DocumentClose(); }

void CTamrelDoc::OnUpdateFileOpen(wxUpdateUIEvent& event) {
  event.Enable(IsFileOpenEnabled());
}

void CTamrelDoc::OnFileSave(wxCommandEvent&) {
  // Ctrl+S: saving the empty document would write over the opened file (or
  // the queue file); the key does nothing.
}
