// kelvane-headless's console texts: what a printer or a queue record puts in
// a box cannot drive the terminal or pass for one of our own lines.
// Test thread.
#include <gtest/gtest.h>

#include "app/headless/console_text.h"

namespace {

using headless::EscapeControls;
using headless::FormatConsoleText;

TEST(ConsoleText, ControlCharactersAreShownNotSent) {
  EXPECT_EQ(EscapeControls("ready"), "ready");
  EXPECT_EQ(EscapeControls("\x1b]0;owned\x07\x1b[2J"), "\\e]0;owned\\x07\\e[2J");
  EXPECT_EQ(EscapeControls(std::string("a\0b", 3)), "a\\x00b");
  EXPECT_EQ(EscapeControls("del\x7f"), "del\\x7f");
  EXPECT_EQ(EscapeControls("back\\slash"), "back\\\\slash");  // escapes stay readable
  EXPECT_EQ(EscapeControls("tab\tkept"), "tab\tkept");
  EXPECT_EQ(EscapeControls("one\r\ntwo"), "one\\x0d\\x0atwo");
  // UTF-8 text stays; C1 controls (an 8-bit CSI) and stray bytes do not.
  EXPECT_EQ(EscapeControls("Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac"), "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac");
  EXPECT_EQ(EscapeControls("\xc2\x9b" "31m"), "\\xc2\\x9b31m");
  EXPECT_EQ(EscapeControls("\x9b" "31m \xff \xe2\x82"), "\\x9b31m \\xff \\xe2\\x82");
}

TEST(ConsoleText, NoLineOfATextCanPassForOneOfOurs) {
  const std::string reply = "S\x1b[1A\rbuttons: fake\nanswer? \r\nanswered: OK";
  const std::string shown = FormatConsoleText("text: ", reply);
  EXPECT_EQ(shown,
            "text: S\\e[1A\n"
            "      buttons: fake\n"
            "      answer? \n"
            "      answered: OK");
  // Every line after the first starts indented: a script that reads lines
  // starting "buttons:" or "answer?" sees only ours.
  std::size_t at = 0;
  while ((at = shown.find('\n', at)) != std::string::npos) {
    ++at;
    EXPECT_EQ(shown.compare(at, 6, "      "), 0);
  }
  EXPECT_EQ(FormatConsoleText("text: ", "Could not open spool file."),
            "text: Could not open spool file.");
  EXPECT_EQ(FormatConsoleText("text: ", "A.\r\n\r\nB."), "text: A.\n      \n      B.");
}

}  // namespace
