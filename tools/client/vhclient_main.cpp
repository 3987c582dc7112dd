// vhclient: logs in to a virtual server, joins a channel, prints what arrives for a while and
// quits cleanly. A hand tool for trying a server out; single-threaded.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/ProtocolClient.h"

namespace {

using namespace vh::client;
using std::chrono::milliseconds;

struct TArgs {
  std::string host = "127.0.0.1";
  int port = 8767;
  TLoginOptions login;
  TJoinOptions join;
  int seconds = 10;
};

void Usage() {
  std::fprintf(stderr,
               "usage: vhclient [--host ADDR] [--port N] --nick NAME [--login NAME --password PW]\n"
               "                [--password SERVERPW] [--rename] [--channel NAME]\n"
               "                [--subchannel NAME] [--channel-password PW] [--seconds N]\n");
}

bool ParseInt(const char* text, int low, int high, int& out) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < low || v > high) return false;
  out = static_cast<int>(v);
  return true;
}

bool ParseArgs(int argc, char** argv, TArgs& a) {
  for (int i = 1; i < argc; ++i) {
    std::string k = argv[i];
    if (k == "--rename") {
      a.login.rename = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    if (k == "--host") {
      a.host = v;
    } else if (k == "--port") {
      if (!ParseInt(v, 1, 65535, a.port)) return false;
    } else if (k == "--nick") {
      a.login.nickname = v;
    } else if (k == "--login") {
      a.login.loginName = v;
      a.login.registered = true;
    } else if (k == "--password") {
      a.login.password = v;
    } else if (k == "--channel") {
      a.join.channel = v;
    } else if (k == "--subchannel") {
      a.join.subchannel = v;
    } else if (k == "--channel-password") {
      a.join.password = v;
    } else if (k == "--seconds") {
      if (!ParseInt(v, 0, 86400, a.seconds)) return false;
    } else {
      return false;
    }
  }
  return !a.login.nickname.empty() || a.login.rename;
}

}  // namespace

int main(int argc, char** argv) {
  TArgs args;
  if (!ParseArgs(argc, argv, args)) {
    Usage();
    return 2;
  }
  TProtocolClient client;
  if (!client.Connect(args.host, static_cast<uint16_t>(args.port))) {
    std::fprintf(stderr, "vhclient: %s\n", client.LastError().c_str());
    return 1;
  }
  auto reply = client.Login(args.login, milliseconds(3000));
  if (!reply) {
    std::fprintf(stderr, "vhclient: no login reply from %s:%d\n", args.host.c_str(), args.port);
    return 1;
  }
  std::printf("login result %d, server '%s' (%s) %u.%u.%u.%u, player %u, connection %u\n",
              reply->result, reply->serverName.c_str(), reply->platform.c_str(),
              reply->serverVersion[0], reply->serverVersion[1], reply->serverVersion[2],
              reply->serverVersion[3], reply->playerId, reply->connectionId);
  if (!reply->text.empty()) std::printf("  %s\n", reply->text.c_str());
  if (reply->result != 1) return 1;

  TJoinResult join = client.Join(args.join, milliseconds(5000));
  if (!join.complete) {
    std::fprintf(stderr, "vhclient: join not completed\n");
    return 1;
  }
  std::printf("%zu channels:\n", join.channels.size());
  for (const auto& c : join.channels)
    std::printf("  %d '%s' parent %d flags %u max %u\n", c.id, c.name.c_str(), c.parentId, c.flags,
                c.maxUsers);
  std::printf("%zu players:\n", join.players.size());
  for (const auto& p : join.players)
    std::printf("  %u '%s' in channel %d\n", p.playerId, p.nickname.c_str(), p.channelId);
  std::fflush(stdout);

  // Print what arrives; a ping every five seconds keeps the connection from timing out.
  const auto end = TClock::now() + std::chrono::seconds(args.seconds);
  auto nextPing = TClock::now() + std::chrono::seconds(5);
  uint64_t voice = 0;
  while (TClock::now() < end) {
    client.Pump(milliseconds(100));
    while (auto p = client.Session().TakeAnyCommand())
      std::printf("%s\n", DescribeCommand(*p).c_str());
    while (client.Session().TakeVoice()) voice++;
    if (TClock::now() >= nextPing) {
      client.SendPing();
      nextPing += std::chrono::seconds(5);
    }
    std::fflush(stdout);
  }
  bool acknowledged = client.Quit(milliseconds(3000));
  const auto& s = client.Stats();
  std::printf("quit %s; voice packets %llu, resends %llu, duplicates %llu\n",
              acknowledged ? "acknowledged" : "NOT acknowledged",
              static_cast<unsigned long long>(voice), static_cast<unsigned long long>(s.resends),
              static_cast<unsigned long long>(s.duplicates));
  return acknowledged ? 0 : 1;
}
