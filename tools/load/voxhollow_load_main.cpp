// voxhollow-load: drives a running server with N players, S of them speaking, in C channels,
// and reports logins per second, delivered voice, loss and latency. For sizing a server; see
// the README. Single-threaded.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "load/LoadRun.h"

namespace {

using vh::load::TLoadOptions;
using vh::load::TLoadReport;

void Usage() {
  std::fprintf(stderr,
               "usage: voxhollow-load [--host ADDR] [--port N] [--players N] [--speakers S]\n"
               "                      [--channels C] [--rate PPS] [--payload BYTES]\n"
               "                      [--seconds T] [--login-window W]\n"
               "                      [--login PREFIX --password PW]\n");
}

bool ParseInt(const char* text, long low, long high, long& out) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < low || v > high) return false;
  out = v;
  return true;
}

bool ParseArgs(int argc, char** argv, TLoadOptions& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string k = argv[i];
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    long n = 0;
    if (k == "--host") {
      o.host = v;
      continue;
    }
    // Registered logins: player i uses the account PREFIX<i>.
    if (k == "--login") {
      o.loginPrefix = v;
      continue;
    }
    if (k == "--password") {
      o.password = v;
      continue;
    }
    if (!ParseInt(v, 0, 1000000, n)) return false;
    if (k == "--port" && n >= 1 && n <= 65535)
      o.port = static_cast<uint16_t>(n);
    else if (k == "--players")
      o.players = static_cast<int>(n);
    else if (k == "--speakers")
      o.speakers = static_cast<int>(n);
    else if (k == "--channels")
      o.channels = static_cast<int>(n);
    else if (k == "--rate")
      o.rate = static_cast<int>(n);
    else if (k == "--payload")
      o.payload = static_cast<int>(n);
    else if (k == "--seconds")
      o.seconds = static_cast<int>(n);
    else if (k == "--login-window")
      o.loginWindow = static_cast<int>(n);
    else
      return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  TLoadOptions o;
  if (!ParseArgs(argc, argv, o)) {
    Usage();
    return 2;
  }
  TLoadReport r;
  std::string error;
  if (!vh::load::RunLoad(o, r, error)) {
    std::fprintf(stderr, "voxhollow-load: %s\n", error.c_str());
    return 2;
  }
  std::printf("players=%d logged_in=%d login_failures=%d first_failure_code=%d\n", o.players,
              r.loggedIn, r.loginFailures, r.firstFailureCode);
  std::printf("login_seconds=%.2f logins_per_second=%.1f\n", r.loginSeconds, r.LoginsPerSecond());
  std::printf("voice_sent=%llu expected=%llu delivered=%llu loss_percent=%.2f\n",
              static_cast<unsigned long long>(r.voiceSent),
              static_cast<unsigned long long>(r.expected),
              static_cast<unsigned long long>(r.delivered), r.LossPercent());
  std::printf("latency_ms p50=%.2f p99=%.2f max=%.2f\n", r.p50Ms, r.p99Ms, r.maxMs);
  return r.loginFailures == 0 ? 0 : 1;
}
