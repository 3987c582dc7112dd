// voxhollow-load's engine: N simulated players on one thread, each with its own socket and
// protocol client, log in (a window of them at a time), take their seats in C channels, and S
// of them speak at a fixed rate while everybody counts and times what arrives. Single-threaded;
// no lock. Latency comes from the send time each speaker writes into its voice data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vh::load {

struct TLoadOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 8767;
  int players = 100;
  int speakers = 10;
  int channels = 1;  // 1: everybody in the default channel; more: channels the tool creates
  int rate = 50;     // voice packets per second per speaker
  int payload = 40;  // voice bytes per packet (at least 8: the send time travels in them)
  int seconds = 10;
  int loginWindow = 64;        // logins in flight at once
  int loginTimeoutMs = 10000;  // login and join of one player
  // Non-empty: player i logs in with the account loginPrefix + i and this password (the
  // accounts must exist); empty: anonymous logins.
  std::string loginPrefix;
  std::string password;
};

struct TLoadReport {
  int loggedIn = 0;  // login accepted and seat taken
  int loginFailures = 0;
  int32_t firstFailureCode = 0;  // 0: a time-out
  double loginSeconds = 0;       // first login request to the last seat taken
  uint64_t voiceSent = 0;
  uint64_t expected = 0;  // copies the server should deliver to the others of each channel
  uint64_t delivered = 0;
  double p50Ms = 0;
  double p99Ms = 0;
  double maxMs = 0;
  double LossPercent() const;
  double LoginsPerSecond() const;
};

// Runs the whole load; false with `error` when the options cannot work (nothing was sent).
bool RunLoad(const TLoadOptions& options, TLoadReport& report, std::string& error);

// The value below which `fraction` of the samples lie (nearest rank); 0 for no samples.
// Sorts `samples`.
double Percentile(std::vector<double>& samples, double fraction);

// The channel player i sits in (0 .. channels-1) and whether he creates it.
int ChannelOf(int player, int channels);
bool CreatesChannel(int player, int channels);

}  // namespace vh::load
