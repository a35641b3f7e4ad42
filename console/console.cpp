#include "console.h"

#include <iostream>
#include <string>

namespace movra::console {
namespace {

void write(std::ostream& stream, std::string_view text) {
    std::string line;
    line.reserve(text.size() + 7);
    line.append("[SDK] ").append(text).push_back('\n');
    stream << line;
}

}  // namespace

void out(std::string_view text) { write(std::cout, text); }

void err(std::string_view text) { write(std::cerr, text); }

}  // namespace movra::console

extern "C" void movra_console_err(const char* text) { movra::console::err(text); }
