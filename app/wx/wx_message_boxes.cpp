// Message boxes of the desktop program (see wx_message_boxes.h).
#include "app/wx/wx_message_boxes.h"

#include <wx/app.h>
#include <wx/artprov.h>
#include <wx/button.h>
#include <wx/notifmsg.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/thread.h>
#include <wx/timer.h>
#include <wx/utils.h>

#include <algorithm>

#include "app/wx/wx_windows.h"
#include "pages/printer_wait_text.h"

namespace kwx {

namespace {

struct ButtonMap {
  int result;
  int wxId;
  const char* label;
};

constexpr ButtonMap kButtons[] = {
    {IDOK, wxID_OK, "OK"},          {IDCANCEL, wxID_CANCEL, "Cancel"},
    {IDABORT, wxID_ABORT, "&Abort"}, {IDRETRY, wxID_RETRY, "&Retry"},
    {IDIGNORE, wxID_IGNORE, "&Ignore"}, {IDYES, wxID_YES, "&Yes"},
    {IDNO, wxID_NO, "&No"},
};

const ButtonMap* FindByResult(int result) {
  for (const ButtonMap& b : kButtons)
    if (b.result == result) return &b;
  return nullptr;
}

// The box's texts use CR LF line ends; the toolkit wants LF.
wxString ToDisplayText(const std::string& text) {
  return wxString::FromUTF8(WithLfLineEnds(text).c_str());
}

wxArtID IconFor(UINT style) {
  switch (style & MB_ICONMASK) {
    case MB_ICONERROR: return wxART_ERROR;
    case MB_ICONQUESTION: return wxART_QUESTION;
    case MB_ICONWARNING: return wxART_WARNING;
    case MB_ICONINFORMATION: return wxART_INFORMATION;
    default: return wxArtID();
  }
}

// The system's box runs a loop of its own, which knows nothing of the
// toolkit's queued calls: what other threads post to our windows (the
// scheduler's tick, the print thread's refreshes and boxes) is handed on
// from this timer meanwhile, as the toolkit's own modal loop would.
class QueuedCallRelay final : public wxTimer {
 public:
  QueuedCallRelay() { Start(kRelayMs); }
  void Notify() override {
    // A call handed on may show a box of its own, whose loop runs inside
    // this one; that box relays for itself meanwhile.
    if (relaying_ || wxTheApp == nullptr) return;
    relaying_ = true;
    wxTheApp->ProcessPendingEvents();
    relaying_ = false;
  }

 private:
  static constexpr int kRelayMs = 50;
  bool relaying_ = false;
};

}  // namespace

int WxIdForResult(int result) {
  const ButtonMap* b = FindByResult(result);
  return b ? b->wxId : wxID_CANCEL;
}

int ResultForWxId(int wxId) {
  for (const ButtonMap& b : kButtons)
    if (b.wxId == wxId) return b.result;
  return IDCANCEL;
}

int RefusingButton(UINT style) {
  const int count = plat::ButtonCount(style);
  for (int wanted : {IDCANCEL, IDABORT, IDNO})
    for (int i = 0; i < count; ++i)
      if (plat::ButtonAt(style, i) == wanted) return wanted;
  return plat::DefaultButton(style);
}

// A user working in another program does not see a box come up behind it:
// the desktop tells them that the printer needs them.
static void NotifyWhenNoWindowOfOursIsActive(const std::string& caption,
                                             const std::string& text) {
  for (wxWindow* window : wxTopLevelWindows) {
    auto* top = dynamic_cast<wxTopLevelWindow*>(window);
    if (top && top->IsShown() && top->IsActive()) return;
  }
  const BoxNotice notice = MakeBoxNotice(caption, text);
  // One notification for the program's life: a later box replaces the text
  // of the earlier one instead of stacking another, and it outlives the
  // call, as the desktop shows it after we return.
  static wxNotificationMessage* note = new wxNotificationMessage;
  note->SetTitle(wxString::FromUTF8(notice.title.c_str()));
  note->SetMessage(wxString::FromUTF8(notice.body.c_str()));
  note->Show(wxNotificationMessage::Timeout_Auto);
}

wxBEGIN_EVENT_TABLE(CMessageBoxDlg, wxDialog)
  EVT_BUTTON(wxID_ANY, CMessageBoxDlg::OnButton)
  EVT_CHAR_HOOK(CMessageBoxDlg::OnCharHook)
  EVT_CLOSE(CMessageBoxDlg::OnCloseBox)
wxEND_EVENT_TABLE()

CMessageBoxDlg::CMessageBoxDlg(wxWindow* parent, const std::string& text,
                               const std::string& caption, UINT style)
    : wxDialog(parent, wxID_ANY, wxString::FromUTF8(caption.c_str()),
               wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX),
      style_(style) {
  auto* top = new wxBoxSizer(wxVERTICAL);
  auto* body = new wxBoxSizer(wxHORIZONTAL);
  const wxArtID art = IconFor(style);
  if (!art.empty())
    body->Add(new wxStaticBitmap(this, wxID_ANY,
                                 wxArtProvider::GetBitmap(art, wxART_MESSAGE_BOX)),
              0, wxALL | wxALIGN_TOP, 10);
  // Long lines are wrapped here, at about the width the system's own boxes
  // keep to: left to the toolkit, a label wider than the screen was wrapped
  // after the box had been sized for it unwrapped, and its last lines cut.
  auto* label = new wxStaticText(this, wxID_ANY, ToDisplayText(text));
  label->Wrap(wxGetDisplaySize().GetWidth() * 5 / 8);
  body->Add(label, 1, wxALL | wxALIGN_CENTER_VERTICAL, 10);
  top->Add(body, 1, wxEXPAND);

  auto* row = new wxBoxSizer(wxHORIZONTAL);
  const int count = plat::ButtonCount(style);
  for (int i = 0; i < count; ++i) {
    const ButtonMap* b = FindByResult(plat::ButtonAt(style, i));
    if (!b) continue;
    auto* button = new wxButton(this, b->wxId, b->label);
    if (i == 0) {
      button->SetDefault();
      button->SetFocus();
    }
    row->Add(button, 0, wxALL, 5);
  }
  top->Add(row, 0, wxALIGN_CENTER_HORIZONTAL | wxBOTTOM, 5);
  // Escape and the close box mean Cancel on a box that has it (a box with OK
  // only answers OK). An Abort/Retry/Ignore box has no answer for them:
  // reading Abort into them would give up the whole queue for a key press.
  SetEscapeId(EscapeAnswers(style) ? WxIdForResult(RefusingButton(style)) : wxID_NONE);
  SetAffirmativeId(WxIdForResult(plat::DefaultButton(style)));
  SetSizerAndFit(top);
  CentreOnParent();
}

bool CMessageBoxDlg::EscapeAnswers(UINT style) {
  const int count = plat::ButtonCount(style);
  if (count == 1) return true;
  for (int i = 0; i < count; ++i)
    if (plat::ButtonAt(style, i) == IDCANCEL) return true;
  return false;
}

void CMessageBoxDlg::OnCharHook(wxKeyEvent& event) {
  if (event.GetKeyCode() == WXK_ESCAPE && !EscapeAnswers(style_)) return;  // swallowed
  event.Skip();
}

void CMessageBoxDlg::OnCloseBox(wxCloseEvent& event) {
  if (!EscapeAnswers(style_) && event.CanVeto()) {
    event.Veto();
    return;
  }
  event.Skip();
}

void CMessageBoxDlg::Refuse() {
  if (IsModal()) EndModal(WxIdForResult(RefusingButton(style_)));
}

void CMessageBoxDlg::OnButton(wxCommandEvent& event) {
  if (IsModal())
    EndModal(event.GetId());
  else
    event.Skip();
}

WxMessageBoxes::WxMessageBoxes() = default;

WxMessageBoxes::~WxMessageBoxes() { AbandonPending(); }

int WxMessageBoxes::ShowHere(HWND owner, const std::string& text,
                             const std::string& caption, UINT style) {
  wxWindow* parent = nullptr;
  if (WxWindowSink* sink = WxWindowSink::Instance()) parent = sink->Lookup(owner);
  if (parent == nullptr && wxTheApp) parent = wxTheApp->GetTopWindow();
  if (parent) parent = wxGetTopLevelParent(parent);
  if (plat::MessageBoxSink* system = plat::SystemMessageBoxSink())
    return ShowSystemBox(*system, parent, text, caption, style);
  CMessageBoxDlg box(parent, text, caption, style);
  if (style & MB_SETFOREGROUND) box.Raise();
  ModalGuard modal;
  return ResultForWxId(box.ShowModal());
}

int WxMessageBoxes::ShowSystemBox(plat::MessageBoxSink& system, wxWindow* parent,
                                  const std::string& text, const std::string& caption,
                                  UINT style) {
  ModalGuard modal;
  QueuedCallRelay relay;
  // The box holds up the whole program, as the toolkit's dialogs do: the
  // sheet and any other window wait with the owner. The owner itself is
  // left to the system, which disables it and gives it back its activation
  // when the box goes.
  wxWindowDisabler others(parent);
  return system.Show(SystemHandleOf(parent), text, caption, style);
}

int WxMessageBoxes::Show(HWND owner, const std::string& text,
                         const std::string& caption, UINT style) {
  if (wxIsMainThread()) return ShowHere(owner, text, caption, style);

  auto request = std::make_shared<Request>();
  request->style = style;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (closing_ || wxTheApp == nullptr) return RefusingButton(style);
    pending_.push_back(request);
  }
  wxTheApp->CallAfter([this, request, owner, text, caption, style] {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (request->done) return;  // answered by AbandonPending already
      ++showingOther_;
    }
    NotifyWhenNoWindowOfOursIsActive(caption, text);
    const int answer = ShowHere(owner, text, caption, style);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      --showingOther_;
    }
    Complete(request, answer);
  });
  std::unique_lock<std::mutex> guard(mutex_);
  answered_.wait(guard, [&] { return request->done; });
  return request->answer;
}

void WxMessageBoxes::Complete(const std::shared_ptr<Request>& request, int answer) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!request->done) {
    request->answer = answer;
    request->done = true;
  }
  pending_.erase(std::remove(pending_.begin(), pending_.end(), request), pending_.end());
  answered_.notify_all();
}

void WxMessageBoxes::AbandonPending() {
  std::lock_guard<std::mutex> guard(mutex_);
  closing_ = true;
  for (auto& request : pending_) {
    if (!request->done) {
      request->answer = RefusingButton(request->style);
      request->done = true;
    }
  }
  pending_.clear();
  answered_.notify_all();
}

bool WxMessageBoxes::ShowingForOtherThread() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return showingOther_ > 0;
}

}  // namespace kwx
