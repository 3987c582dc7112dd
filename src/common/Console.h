// The operator's console: a few plain lines on standard output (what started, on which port,
// which files are in use, first-start passwords) and start-up errors on standard error. Any
// thread may call it; one lock keeps each line whole. The log stays the full record: these
// lines are a summary for whoever started the program.
#pragma once

#include <cstdint>
#include <string_view>

namespace vh {

// One line on standard output, flushed at once.
void ConsoleLine(std::string_view text);
// One line on standard error, flushed at once: for errors that stop start-up.
void ConsoleError(std::string_view text);
// How an administration interface reports where it listens once it serves, e.g.
// ConsoleListening("TCP query", 51234) prints "TCP query listening on TCP port 51234".
void ConsoleListening(std::string_view interfaceName, uint16_t tcpPort);

}  // namespace vh
