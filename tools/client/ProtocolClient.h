// A voice-protocol client over a real UDP socket: login, join, reliable commands, voice and
// keep-alive, with bounded waits that pump the socket (poll with a deadline, no sleeps).
// Single-threaded and pump-style: the owner calls Pump or a Wait* method; many clients can
// share one thread (a load tool pumps each, or polls their Fd() together). No lock inside.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/ClientPackets.h"
#include "client/ClientSession.h"
#include "client/UdpSocket.h"

namespace vh::client {

using std::chrono::milliseconds;

// What the server sends in answer to the join request, in arrival order.
struct TJoinResult {
  bool complete = false;   // the closing packet (command 8) arrived in time
  bool malformed = false;  // some list packet could not be parsed (the rest still is)
  int channelPackets = 0;
  int playerPackets = 0;
  uint32_t requestSequence = 0;
  std::vector<TChannelEntry> channels;
  std::vector<TPlayerBlock> players;
  TClosingPacket closing;
};

// Everything that arrived during a DrainFor, plus what was already queued.
struct TDrained {
  std::vector<std::unique_ptr<TPacket>> commands;
  std::vector<TServerVoice> voice;
};

class TProtocolClient;

// Clients that are pumped together: while a test waits on one client, the others keep
// acknowledging, so the server does not retransmit to them or time them out. Members stay
// owned by the caller; a member or the group may be destroyed first.
class TClientGroup {
 public:
  TClientGroup() = default;
  TClientGroup(const TClientGroup&) = delete;
  TClientGroup& operator=(const TClientGroup&) = delete;
  ~TClientGroup();

  void Add(TProtocolClient& client);
  void Remove(TProtocolClient& client);
  size_t Size() const { return members_.size(); }
  // One poll over every member's socket (bounded by `timeout` and the earliest retransmission),
  // then each member handles its datagrams, retransmits and sends. Returns datagrams handled.
  size_t Pump(milliseconds timeout);

 private:
  std::vector<TProtocolClient*> members_;
};

class TProtocolClient {
 public:
  explicit TProtocolClient(TSessionConfig config = {});
  ~TProtocolClient();
  TProtocolClient(const TProtocolClient&) = delete;
  TProtocolClient& operator=(const TProtocolClient&) = delete;

  bool Connect(const std::string& host, uint16_t port);
  const std::string& LastError() const { return error_; }
  int Fd() const { return socket_.Fd(); }
  uint16_t LocalPort() const { return socket_.LocalPort(); }

  // ---- Session set-up ----
  // Sends the login request and waits for the reply; nothing when no reply came in time.
  std::optional<TLoginReply> Login(const TLoginOptions& options, milliseconds timeout);
  // Login over a lossy path: sends the request again every `resendEvery` until a reply with
  // result 1 arrives. A -4 or -2 may be caused by the half-made session of one of our own
  // earlier requests whose reply was lost (the server frees it after 2 s), so those are tried
  // again until `timeout`; any other refusal is returned at once. Nothing when no reply came.
  std::optional<TLoginReply> LoginPersistently(const TLoginOptions& options, milliseconds timeout,
                                               milliseconds resendEvery = milliseconds(500));
  uint32_t SendLogin(const TLoginOptions& options);
  // A reply with result 1 hands its connection and player ids to everything sent afterwards.
  std::optional<TLoginReply> WaitForLoginReply(milliseconds timeout);
  // Command 5, then collects the channel lists, player lists and the closing packet.
  TJoinResult Join(const TJoinOptions& options, milliseconds timeout);
  // Command 300; waits until every own command is acknowledged and the server's left notice
  // for this player has arrived (and been acknowledged, so the server can close at once).
  bool Quit(milliseconds timeout);

  // ---- Sending ----
  uint32_t SendCommand(uint16_t number, std::string_view payload);  // returns its sequence
  void SendVoice(uint8_t selector, uint8_t dataByte, uint16_t counter, uint16_t dataWord,
                 std::string_view payload);
  // The running voice counter for callers that do not count themselves (starts at 1).
  uint16_t NextVoiceCounter() { return voiceCounter_++; }
  uint32_t SendPing();  // returns the ping's sequence number
  void SendRaw(std::string_view bytes);

  // ---- Pumping and waiting ----
  // Waits up to `timeout` for traffic, handles every waiting datagram, retransmits what is
  // due and sends what the session produced; a group member pumps its whole group. Returns
  // the number of datagrams handled. Every Wait* method below pumps this way.
  size_t Pump(milliseconds timeout);
  std::unique_ptr<TPacket> WaitForCommand(uint16_t number, milliseconds timeout);
  std::unique_ptr<TPacket> WaitForAnyCommand(milliseconds timeout);
  std::optional<TErrorReply> WaitForError(milliseconds timeout);
  std::optional<TServerVoice> WaitForVoice(milliseconds timeout);
  bool WaitForPingReply(uint32_t sequence, milliseconds timeout);
  bool WaitUntilAcknowledged(milliseconds timeout);
  // Pumps for the whole duration and hands back everything queued by then; the way to
  // check that nothing (or only something) arrived.
  TDrained DrainFor(milliseconds duration);

  const std::vector<uint16_t>& ReceivedCommandNumbers() const {
    return session_.ReceivedCommandNumbers();
  }
  uint32_t ConnectionId() const { return session_.ConnectionId(); }
  uint32_t PlayerId() const { return session_.PlayerId(); }
  TClientSession& Session() { return session_; }
  const TSessionStats& Stats() const { return session_.Stats(); }

 private:
  friend class TClientGroup;

  // Pumps until `ready` holds or the deadline passes; true when it held.
  template <typename Ready>
  bool PumpUntil(milliseconds timeout, Ready ready);
  void Flush();
  size_t ReadAvailable(TTime now);
  // Reads what is waiting, retransmits what is due and sends; no waiting.
  size_t Service();

  TUdpSocket socket_;
  TClientSession session_;
  std::string error_;
  uint16_t voiceCounter_ = 1;
  std::vector<char> buffer_;
  TClientGroup* group_ = nullptr;
};

}  // namespace vh::client
