// Message boxes through the installed sink, and the button sets of the
// styles. Where the system has boxes of its own they are the default;
// elsewhere the default reports the box on standard error and takes the
// first button, so a program without a front end never blocks on a box.
// Any thread; the sink pointer is atomic, the sink itself must be callable
// from any thread.
#include "platform/message_box.h"

#include <atomic>
#include <cstdio>

#include "platform/common/system_windows.h"

namespace plat {
namespace {

struct ButtonSet {
  int count;
  int ids[3];
};

ButtonSet ButtonsOf(UINT style) {
  switch (style & MB_TYPEMASK) {
    case MB_OKCANCEL: return {2, {IDOK, IDCANCEL, 0}};
    case MB_ABORTRETRYIGNORE: return {3, {IDABORT, IDRETRY, IDIGNORE}};
    case MB_YESNOCANCEL: return {3, {IDYES, IDNO, IDCANCEL}};
    case MB_YESNO: return {2, {IDYES, IDNO, 0}};
    case MB_RETRYCANCEL: return {2, {IDRETRY, IDCANCEL, 0}};
    default: return {1, {IDOK, 0, 0}};  // MB_OK and styles we do not know
  }
}

class StderrSink final : public MessageBoxSink {
 public:
  int Show(HWND, const std::string& text, const std::string& caption,
           UINT style) override {
    std::string buttons;
    for (int i = 0; i < ButtonCount(style); ++i) {
      if (i) buttons += '/';
      buttons += ButtonName(ButtonAt(style, i));
    }
    std::string line = caption + ": " + text + " [" + buttons + "]\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    return DefaultButton(style);
  }
};

StderrSink g_stderrSink;
std::atomic<MessageBoxSink*> g_sink{nullptr};

}  // namespace

int MessageBox(HWND owner, const std::string& text, const std::string& caption,
               UINT style) {
  MessageBoxSink* sink = g_sink.load(std::memory_order_acquire);
  if (!sink) sink = SystemMessageBoxes();
  if (!sink) sink = &g_stderrSink;
  return sink->Show(owner, text, caption, style);
}

MessageBoxSink* SystemMessageBoxSink() { return SystemMessageBoxes(); }

void EndSystemMessageBoxes() { EndOpenSystemBoxes(); }

MessageBoxSink* SetMessageBoxSink(MessageBoxSink* sink) {
  return g_sink.exchange(sink, std::memory_order_acq_rel);
}

int DefaultButton(UINT style) { return ButtonsOf(style).ids[0]; }

int ButtonCount(UINT style) { return ButtonsOf(style).count; }

int ButtonAt(UINT style, int index) {
  ButtonSet set = ButtonsOf(style);
  if (index < 0 || index >= set.count) return 0;
  return set.ids[index];
}

const char* ButtonName(int id) {
  switch (id) {
    case IDOK: return "ok";
    case IDCANCEL: return "cancel";
    case IDABORT: return "abort";
    case IDRETRY: return "retry";
    case IDIGNORE: return "ignore";
    case IDYES: return "yes";
    case IDNO: return "no";
    default: return "";
  }
}

}  // namespace plat
