// Console lines of the client.
//
// Every line starts with "[SDK] " and ends with a newline. A line is composed whole and written with
// one insertion into std::cout or std::cerr, so lines written by different threads never interleave
// (libstdc++ hands each insertion to one stdio call, which holds the stream's lock). No flush.
#pragma once

#include <string_view>

namespace movra::console {

// Writes "[SDK] " + text + "\n" to standard output.
void out(std::string_view text);

// Writes "[SDK] " + text + "\n" to standard error.
void err(std::string_view text);

}  // namespace movra::console
