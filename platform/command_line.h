// The one-string command line a Windows program receives: each argument
// quoted so that the C runtime's parser (CommandLineToArgvW's rules) gives
// it back unchanged. Pure text; built on every system so that it is tested
// everywhere.
// Any thread.
#pragma once

#include <string>
#include <vector>

namespace plat {

// `argument` as one word of a command line: bare when it has no blank, tab,
// newline or quote and is not empty; else in quotes, with the backslashes
// before a quote (and before the closing quote) doubled and each quote
// escaped.
std::string QuoteArgument(const std::string& argument);

// The program and its arguments, quoted, separated by one blank.
std::string JoinCommandLine(const std::string& program, const std::vector<std::string>& args);

}  // namespace plat
