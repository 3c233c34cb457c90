// Message boxes, shaped like the original (owner, text, caption, style) and
// returning the button pressed. Behind the call sits a replaceable sink: the
// desktop program marshals boxes to its main thread, the headless program
// asks on standard input, tests install a scripted sink.
// Any thread; the call blocks until the box is answered.
#pragma once

#include <string>

#include "platform/win_types.h"

namespace plat {

class MessageBoxSink {
 public:
  virtual ~MessageBoxSink() = default;
  virtual int Show(HWND owner, const std::string& text,
                   const std::string& caption, UINT style) = 0;
};

int MessageBox(HWND owner, const std::string& text, const std::string& caption,
               UINT style);

// Installs a sink and returns the one it replaces (nullptr: the default).
// nullptr restores the default: where the system has message boxes of its
// own (Windows), the system's box; elsewhere one that writes the box to
// standard error and answers with the first button of its style.
MessageBoxSink* SetMessageBoxSink(MessageBoxSink* sink);

// The system's own message boxes where the system has them (Windows),
// nullptr elsewhere. A front end that runs a window loop of its own shows
// them on its own thread, owned by its own windows. They keep the rules of
// the boxes above on every system: Escape and the close box answer Cancel
// on a box that has it, OK on a box with OK alone, and nothing otherwise;
// the first button is the default.
MessageBoxSink* SystemMessageBoxSink();
// Ends every system box of this process that is waiting, each with its
// refusing answer (Cancel, else Abort, else No, else its first button): a
// program stopped from outside cannot wait for someone to answer. Any
// thread; returns at once (each box's own thread returns its answer).
// Does nothing where the system has no boxes.
void EndSystemMessageBoxes();

// The first (default) button of a style's button set: IDOK, IDABORT,
// IDYES or IDRETRY.
int DefaultButton(UINT style);
// Button ids offered by a style, in order ("OK", "Cancel"... as ids).
int ButtonCount(UINT style);
int ButtonAt(UINT style, int index);
// "ok", "cancel", "abort", "retry", "ignore", "yes", "no".
const char* ButtonName(int id);

}  // namespace plat
