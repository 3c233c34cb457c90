// What kelvane-headless writes about a box on its terminal. A box's text
// may carry what a printer replied or what a queue record says, and either
// may hold escape sequences that rewrite the terminal, or lines such as
// "buttons: ..." and "answer? " that would mislead a script reading our
// prompts. So control characters are shown escaped (\e, \x07, ...), and a
// text's later lines are indented, so that no line of a text can stand at
// the start of a line as one of our own. The desktop boxes show the text as
// it is. Any thread (pure functions).
#pragma once

#include <string>
#include <string_view>

namespace headless {

// The text with every control character escaped: C0 controls and DEL as
// \xNN (ESC as \e, TAB kept), bytes that are not UTF-8, and the C1
// controls U+0080-U+009F; a backslash as "\\". Line breaks are escaped too:
// the result is one line.
std::string EscapeControls(std::string_view text);

// A box text for the console: its lines (split at CR LF, LF or a lone CR)
// escaped, the first after `label`, every later one indented by the width
// of `label`.
std::string FormatConsoleText(std::string_view label, std::string_view text);

}  // namespace headless
