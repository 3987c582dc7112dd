#include "common/Console.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace vh {

namespace {

std::mutex gConsoleMutex;  // keeps the lines of different threads whole

void WriteLine(FILE* stream, std::string_view text) {
  std::string line(text);
  line += '\n';
  std::lock_guard lock(gConsoleMutex);
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

}  // namespace

void ConsoleLine(std::string_view text) {
  WriteLine(stdout, text);
}

void ConsoleError(std::string_view text) {
  WriteLine(stderr, text);
}

void ConsoleListening(std::string_view interfaceName, uint16_t tcpPort) {
  ConsoleLine(std::string(interfaceName) + " listening on TCP port " + std::to_string(tcpPort));
}

}  // namespace vh
