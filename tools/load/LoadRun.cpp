#include "load/LoadRun.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>

#include "client/ProtocolClient.h"

namespace vh::load {

namespace {

using namespace vh::client;
using std::chrono::milliseconds;

constexpr uint16_t kChannelCreate = 201;
constexpr milliseconds kPingEvery{10000};
constexpr milliseconds kDrainAfterTalk{1000};
constexpr milliseconds kQuitLinger{500};

enum class TState { kIdle, kLoginSent, kJoinSent, kCreating, kSeated, kFailed };

struct TPlayer {
  std::unique_ptr<TProtocolClient> client;
  TState state = TState::kIdle;
  TTime started{};
  TTime nextPing{};
  int channel = 0;
  uint32_t codecs = 0;
};

double Ms(TClock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

std::string ChannelName(int channel) {
  return "load-c" + std::to_string(channel);
}

// Command 201 for an unregistered top-level channel that admits everybody.
std::string ChannelCreatePayload(int channel, uint32_t codecs) {
  uint16_t codec = 5;
  for (uint16_t c = 0; c <= 12; ++c)
    if (codecs & (1u << c)) {
      codec = c;
      break;
    }
  std::string p(16, '\0');
  const uint16_t flags = 1;  // unregistered
  const int32_t parent = -1;
  const uint16_t order = 0;
  const uint16_t maxUsers = 60000;
  std::memcpy(&p[4], &flags, 2);
  std::memcpy(&p[6], &codec, 2);
  std::memcpy(&p[8], &parent, 4);
  std::memcpy(&p[12], &order, 2);
  std::memcpy(&p[14], &maxUsers, 2);
  const std::string name = ChannelName(channel);
  p.append(name).push_back('\0');
  p.append("load").push_back('\0');  // topic
  p.push_back('\0');                 // description
  p.push_back('\0');                 // password
  return p;
}

class TLoadRun {
 public:
  TLoadRun(const TLoadOptions& o, TLoadReport& r) : o_(o), r_(r) {}

  bool Connect(std::string& error) {
    TSessionConfig config;
    config.maxQueued = 65536;
    players_.resize(static_cast<size_t>(o_.players));
    for (int i = 0; i < o_.players; ++i) {
      TPlayer& p = players_[static_cast<size_t>(i)];
      p.client = std::make_unique<TProtocolClient>(config);
      p.channel = ChannelOf(i, o_.channels);
      if (!p.client->Connect(o_.host, o_.port)) {
        error = "player " + std::to_string(i) + ": " + p.client->LastError();
        return false;
      }
      group_.Add(*p.client);
    }
    return true;
  }

  void LogIn() {
    const TTime first = TClock::now();
    TTime last = first;
    // Channel creators go first, so that the channels exist when the others ask for them.
    std::vector<int> creators, others;
    for (int i = 0; i < o_.players; ++i)
      (CreatesChannel(i, o_.channels) ? creators : others).push_back(i);
    for (const std::vector<int>* wave : {&creators, &others}) {
      size_t next = 0;
      int inFlight = 0;
      while (next < wave->size() || inFlight > 0) {
        while (inFlight < o_.loginWindow && next < wave->size()) {
          StartLogin(players_[static_cast<size_t>((*wave)[next++])]);
          ++inFlight;
        }
        group_.Pump(milliseconds(5));
        const TTime now = TClock::now();
        for (int i : *wave) {
          TPlayer& p = players_[static_cast<size_t>(i)];
          const TState before = p.state;
          if (before == TState::kIdle || before == TState::kSeated || before == TState::kFailed)
            continue;
          Advance(p, now);
          if (p.state == TState::kSeated || p.state == TState::kFailed) {
            --inFlight;
            if (p.state == TState::kSeated) last = now;
          }
        }
        DrainAll(now, false);
      }
    }
    r_.loginSeconds = Ms(last - first) / 1000.0;
  }

  void Talk() {
    std::vector<int> members(static_cast<size_t>(o_.channels), 0);
    for (const TPlayer& p : players_)
      if (p.state == TState::kSeated) ++members[static_cast<size_t>(p.channel)];
    const int speakers = std::min(o_.speakers, o_.players);
    const auto interval =
        std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(
            1.0 / (static_cast<double>(o_.rate) * std::max(speakers, 1))));
    std::string data(static_cast<size_t>(o_.payload), 'v');
    const TTime start = TClock::now();
    const TTime end = start + std::chrono::seconds(o_.seconds);
    TTime nextSend = start;
    uint64_t turn = 0;
    for (TTime now = start; now < end + kDrainAfterTalk; now = TClock::now()) {
      while (speakers > 0 && nextSend <= now && nextSend < end) {
        TPlayer& p = players_[static_cast<size_t>(turn++ % static_cast<uint64_t>(speakers))];
        nextSend += interval;
        if (p.state != TState::kSeated) continue;
        const int64_t stamp =
            std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now().time_since_epoch())
                .count();
        std::memcpy(data.data(), &stamp, sizeof stamp);
        p.client->SendVoice(0, 5, p.client->NextVoiceCounter(), 0, data);
        ++r_.voiceSent;
        r_.expected += static_cast<uint64_t>(members[static_cast<size_t>(p.channel)] - 1);
      }
      const auto wait = nextSend < end ? std::max(nextSend - TClock::now(), TClock::duration{})
                                       : TClock::duration(milliseconds(5));
      group_.Pump(std::min(std::chrono::ceil<milliseconds>(wait), milliseconds(5)));
      DrainAll(TClock::now(), true);
    }
    r_.p50Ms = Percentile(latencies_, 0.50);
    r_.p99Ms = Percentile(latencies_, 0.99);
    r_.maxMs = latencies_.empty() ? 0 : latencies_.back();
  }

  void Quit() {
    for (TPlayer& p : players_)
      if (p.state == TState::kSeated) p.client->SendCommand(CMD_cs_PlayerQuit, {});
    const TTime until = TClock::now() + kQuitLinger;
    while (TClock::now() < until) {
      group_.Pump(milliseconds(10));
      DrainAll(TClock::now(), false);
    }
  }

 private:
  void StartLogin(TPlayer& p) {
    TLoginOptions login;
    // Named after their accounts, registered players do not collide with an anonymous run.
    login.nickname = (o_.loginPrefix.empty() ? std::string("load") : o_.loginPrefix) +
                     std::to_string(&p - players_.data());
    if (!o_.loginPrefix.empty()) {
      login.registered = true;
      login.loginName = o_.loginPrefix + std::to_string(&p - players_.data());
      login.password = o_.password;
    }
    p.started = TClock::now();
    p.nextPing = p.started + kPingEvery;
    p.client->SendLogin(login);
    p.state = TState::kLoginSent;
  }

  void Fail(TPlayer& p, int32_t code) {
    p.state = TState::kFailed;
    if (r_.loginFailures++ == 0) r_.firstFailureCode = code;
  }

  // One step of a player's login, join and (for a creator) channel creation.
  void Advance(TPlayer& p, TTime now) {
    TClientSession& s = p.client->Session();
    const int playerIndex = static_cast<int>(&p - players_.data());
    if (p.state == TState::kLoginSent) {
      if (auto reply = s.TakeLoginReply()) {
        if (reply->result != 1) return Fail(p, reply->result);
        s.SetIdentity(reply->connectionId, reply->playerId);
        p.codecs = reply->codecs;
        TJoinOptions join;
        if (o_.channels > 1 && !CreatesChannel(playerIndex, o_.channels))
          join.channel = ChannelName(p.channel);
        p.client->SendCommand(CMD_cs_LoginStep3, BuildJoinPayload(join));
        p.state = TState::kJoinSent;
      }
    } else if (p.state == TState::kJoinSent) {
      if (s.TakeCommand(CMD_sc_LoginStep6)) {
        if (o_.channels > 1 && CreatesChannel(playerIndex, o_.channels)) {
          p.client->SendCommand(kChannelCreate, ChannelCreatePayload(p.channel, p.codecs));
          p.state = TState::kCreating;
        } else {
          p.state = TState::kSeated;
          ++r_.loggedIn;
        }
      }
    } else if (p.state == TState::kCreating) {
      const uint32_t self = s.PlayerId();
      if (s.TakeCommandIf([self](const TPacket& packet) {
            return packet.CommandNumber() == CMD_sc_NotifyChannelCreated && packet.Size() >= 28 &&
                   packet.LongAt(24) == self;
          })) {
        p.state = TState::kSeated;
        ++r_.loggedIn;
      } else if (auto error = s.TakeErrorReply()) {
        auto parsed = ParseErrorReply(*error);
        return Fail(p, parsed ? parsed->code : -1);
      }
    }
    if (p.state != TState::kSeated && now - p.started > milliseconds(o_.loginTimeoutMs)) Fail(p, 0);
  }

  // Takes what arrived: voice is counted and timed, commands are dropped (the client already
  // acknowledged them); seated players ping now and then to stay alive.
  void DrainAll(TTime now, bool countVoice) {
    const int64_t nowNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    for (TPlayer& p : players_) {
      if (p.state != TState::kSeated) continue;
      TClientSession& s = p.client->Session();
      while (s.QueuedCommands() > 0) s.TakeAnyCommand();
      while (auto v = s.TakeVoice()) {
        if (!countVoice || v->data.size() < sizeof(int64_t)) continue;
        int64_t stamp = 0;
        std::memcpy(&stamp, v->data.data(), sizeof stamp);
        ++r_.delivered;
        latencies_.push_back(static_cast<double>(std::max<int64_t>(nowNs - stamp, 0)) / 1e6);
      }
      if (now >= p.nextPing) {
        p.client->SendPing();
        p.nextPing = now + kPingEvery;
      }
    }
  }

  const TLoadOptions& o_;
  TLoadReport& r_;
  std::vector<TPlayer> players_;
  TClientGroup group_;
  std::vector<double> latencies_;
};

}  // namespace

double TLoadReport::LossPercent() const {
  if (expected == 0) return 0;
  const double lost = static_cast<double>(expected) - static_cast<double>(delivered);
  return std::max(lost, 0.0) * 100.0 / static_cast<double>(expected);
}

double TLoadReport::LoginsPerSecond() const {
  return loginSeconds > 0 ? loggedIn / loginSeconds : 0;
}

int ChannelOf(int player, int channels) {
  return channels > 1 ? player % channels : 0;
}

bool CreatesChannel(int player, int channels) {
  return channels > 1 && player < channels;
}

double Percentile(std::vector<double>& samples, double fraction) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const double rank =
      std::ceil(std::clamp(fraction, 0.0, 1.0) * static_cast<double>(samples.size()));
  const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return samples[std::min(index, samples.size() - 1)];
}

bool RunLoad(const TLoadOptions& o, TLoadReport& report, std::string& error) {
  if (o.players < 1 || o.players > 20000)
    error = "players must be 1 to 20000";
  else if (o.speakers < 0 || o.speakers > o.players)
    error = "speakers must be 0 to players";
  else if (o.channels < 1 || o.channels > o.players)
    error = "channels must be 1 to players";
  else if (o.rate < 1 || o.rate > 1000)
    error = "rate must be 1 to 1000 packets per second";
  else if (o.payload < 8 || o.payload > 1000)
    error = "payload must be 8 to 1000 bytes";
  else if (o.seconds < 1 || o.seconds > 86400)
    error = "seconds must be 1 to 86400";
  else if (o.loginWindow < 1)
    error = "the login window must be at least 1";
  if (!error.empty()) return false;
  report = TLoadReport{};
  TLoadRun run(o, report);
  if (!run.Connect(error)) return false;
  run.LogIn();
  run.Talk();
  run.Quit();
  return true;
}

}  // namespace vh::load
