// Words from the user's input as one-line messages quote them: cut short, so
// that a 100,000-character value still gives a line that can be read.
#pragma once

#include <string>
#include <string_view>

// The word cut to 40 characters, with "..." when it was longer.
std::string shortened(std::string_view word);

// The shortened word between single quotes.
std::string quotedWord(std::string_view word);
