#include "client/ProtocolClient.h"

#include <poll.h>

#include <algorithm>

namespace vh::client {
namespace {
// Larger than any datagram the server can send (its own receive buffer is 8 KiB).
constexpr size_t kReceiveBuffer = 65536;
}  // namespace

TClientGroup::~TClientGroup() {
  for (TProtocolClient* c : members_) c->group_ = nullptr;
}

void TClientGroup::Add(TProtocolClient& client) {
  if (client.group_ == this) return;
  if (client.group_) client.group_->Remove(client);
  members_.push_back(&client);
  client.group_ = this;
}

void TClientGroup::Remove(TProtocolClient& client) {
  members_.erase(std::remove(members_.begin(), members_.end(), &client), members_.end());
  if (client.group_ == this) client.group_ = nullptr;
}

size_t TClientGroup::Pump(milliseconds timeout) {
  TTime now = TClock::now();
  TTime until = now + timeout;
  std::vector<pollfd> fds(members_.size(), pollfd{-1, POLLIN, 0});
  for (size_t i = 0; i < members_.size(); ++i) {
    TProtocolClient* c = members_[i];
    if (auto due = c->session_.NextDeadline()) until = std::min(until, std::max(*due, now));
    fds[i].fd = c->Fd();  // negative descriptors are ignored by poll
  }
  auto wait = std::chrono::ceil<milliseconds>(until - now).count();
  ::poll(fds.data(), fds.size(), static_cast<int>(wait));
  // Only members with traffic, a retransmission due or output waiting have work: a large
  // group (a load tool's) must not cost one receive call per member and pump.
  now = TClock::now();
  size_t handled = 0;
  for (size_t i = 0; i < members_.size(); ++i) {
    TProtocolClient* c = members_[i];
    auto due = c->session_.NextDeadline();
    if (fds[i].revents != 0 || (due && *due <= now) || c->session_.HasOutput())
      handled += c->Service();
  }
  return handled;
}

TProtocolClient::TProtocolClient(TSessionConfig config)
    : session_(config), buffer_(kReceiveBuffer) {}

TProtocolClient::~TProtocolClient() {
  if (group_) group_->Remove(*this);
}

bool TProtocolClient::Connect(const std::string& host, uint16_t port) {
  return socket_.Open(host, port, error_);
}

void TProtocolClient::Flush() {
  for (const std::string& d : session_.TakeOutbox()) socket_.Send(d);
}

size_t TProtocolClient::ReadAvailable(TTime now) {
  size_t handled = 0;
  while (auto n = socket_.Receive(buffer_.data(), buffer_.size())) {
    session_.HandleDatagram(std::string_view(buffer_.data(), *n), now);
    handled++;
  }
  return handled;
}

size_t TProtocolClient::Service() {
  size_t handled = ReadAvailable(TClock::now());
  session_.Tick(TClock::now());
  Flush();
  return handled;
}

size_t TProtocolClient::Pump(milliseconds timeout) {
  if (group_) return group_->Pump(timeout);
  TTime now = TClock::now();
  TTime until = now + timeout;
  if (auto due = session_.NextDeadline()) until = std::min(until, std::max(*due, now));
  socket_.WaitReadable(static_cast<int>(std::chrono::ceil<milliseconds>(until - now).count()));
  return Service();
}

template <typename Ready>
bool TProtocolClient::PumpUntil(milliseconds timeout, Ready ready) {
  const TTime deadline = TClock::now() + timeout;
  for (;;) {
    if (ready()) return true;
    TTime now = TClock::now();
    if (now >= deadline) return false;
    Pump(std::chrono::ceil<milliseconds>(deadline - now));
  }
}

uint32_t TProtocolClient::SendLogin(const TLoginOptions& options) {
  uint32_t seq = session_.QueueLogin(options);
  Flush();
  return seq;
}

std::optional<TLoginReply> TProtocolClient::WaitForLoginReply(milliseconds timeout) {
  std::optional<TLoginReply> reply;
  PumpUntil(timeout, [&] { return (reply = session_.TakeLoginReply()).has_value(); });
  if (reply && reply->result == 1) session_.SetIdentity(reply->connectionId, reply->playerId);
  return reply;
}

std::optional<TLoginReply> TProtocolClient::Login(const TLoginOptions& options,
                                                  milliseconds timeout) {
  SendLogin(options);
  return WaitForLoginReply(timeout);
}

std::optional<TLoginReply> TProtocolClient::LoginPersistently(const TLoginOptions& options,
                                                              milliseconds timeout,
                                                              milliseconds resendEvery) {
  while (session_.TakeLoginReply()) {
  }
  const TTime deadline = TClock::now() + timeout;
  std::optional<TLoginReply> last;
  while (TClock::now() < deadline) {
    SendLogin(options);
    const TTime resendAt = std::min(TClock::now() + resendEvery, deadline);
    std::optional<TLoginReply> reply;
    for (;;) {
      auto pending = PumpUntil(std::chrono::ceil<milliseconds>(resendAt - TClock::now()),
                               [&] { return (reply = session_.TakeLoginReply()).has_value(); });
      if (!pending) break;
      if (reply->result == 1) {
        session_.SetIdentity(reply->connectionId, reply->playerId);
        return reply;
      }
      last = reply;
      if (reply->result != -4 && reply->result != -2) return reply;
    }
  }
  return last;
}

TJoinResult TProtocolClient::Join(const TJoinOptions& options, milliseconds timeout) {
  TJoinResult result;
  result.requestSequence = SendCommand(CMD_cs_LoginStep3, BuildJoinPayload(options));
  std::unique_ptr<TPacket> closing;
  result.complete = PumpUntil(timeout, [&] {
    closing = session_.TakeCommand(CMD_sc_LoginStep6);
    return closing != nullptr;
  });
  // Commands arrive in order, so every list packet of this join is queued before command 8.
  while (auto p = session_.TakeCommand(CMD_sc_LoginStep4)) {
    result.channelPackets++;
    if (auto list = ParseChannelList(*p)) {
      result.channels.insert(result.channels.end(), list->begin(), list->end());
    } else {
      result.malformed = true;
    }
  }
  while (auto p = session_.TakeCommand(CMD_sc_LoginStep5)) {
    result.playerPackets++;
    if (auto list = ParsePlayerList(*p)) {
      result.players.insert(result.players.end(), list->begin(), list->end());
    } else {
      result.malformed = true;
    }
  }
  if (closing) {
    if (auto c = ParseClosingPacket(*closing)) {
      result.closing = std::move(*c);
    } else {
      result.malformed = true;
    }
  }
  return result;
}

bool TProtocolClient::Quit(milliseconds timeout) {
  const TTime deadline = TClock::now() + timeout;
  SendCommand(CMD_cs_PlayerQuit, {});
  if (!WaitUntilAcknowledged(timeout)) return false;
  // The server closes the connection only once its last packet, our own left notice, is
  // acknowledged; leaving before that keeps the player listed until the closing linger ends.
  const uint32_t self = session_.PlayerId();
  auto remaining =
      std::chrono::ceil<milliseconds>(std::max(deadline - TClock::now(), TClock::duration{}));
  return PumpUntil(remaining, [&] {
    return session_.TakeCommandIf([self](const TPacket& p) {
      auto left = ParsePlayerLeft(p);
      return left && static_cast<uint32_t>(left->playerId) == self;
    }) != nullptr;
  });
}

uint32_t TProtocolClient::SendCommand(uint16_t number, std::string_view payload) {
  uint32_t seq = session_.QueueCommand(number, payload, TClock::now());
  Flush();
  return seq;
}

void TProtocolClient::SendVoice(uint8_t selector, uint8_t dataByte, uint16_t counter,
                                uint16_t dataWord, std::string_view payload) {
  session_.QueueVoice(selector, dataByte, counter, dataWord, payload);
  Flush();
}

uint32_t TProtocolClient::SendPing() {
  uint32_t seq = session_.QueuePing();
  Flush();
  return seq;
}

void TProtocolClient::SendRaw(std::string_view bytes) {
  session_.QueueRaw(bytes);
  Flush();
}

std::unique_ptr<TPacket> TProtocolClient::WaitForCommand(uint16_t number, milliseconds timeout) {
  std::unique_ptr<TPacket> p;
  PumpUntil(timeout, [&] { return (p = session_.TakeCommand(number)) != nullptr; });
  return p;
}

std::unique_ptr<TPacket> TProtocolClient::WaitForAnyCommand(milliseconds timeout) {
  std::unique_ptr<TPacket> p;
  PumpUntil(timeout, [&] { return (p = session_.TakeAnyCommand()) != nullptr; });
  return p;
}

std::optional<TErrorReply> TProtocolClient::WaitForError(milliseconds timeout) {
  std::unique_ptr<TPacket> p;
  PumpUntil(timeout, [&] { return (p = session_.TakeErrorReply()) != nullptr; });
  if (!p) return std::nullopt;
  return ParseErrorReply(*p);
}

std::optional<TServerVoice> TProtocolClient::WaitForVoice(milliseconds timeout) {
  std::optional<TServerVoice> v;
  PumpUntil(timeout, [&] { return (v = session_.TakeVoice()).has_value(); });
  return v;
}

bool TProtocolClient::WaitForPingReply(uint32_t sequence, milliseconds timeout) {
  return PumpUntil(timeout, [&] { return session_.TakePingReply(sequence); });
}

bool TProtocolClient::WaitUntilAcknowledged(milliseconds timeout) {
  return PumpUntil(timeout, [&] { return session_.AllAcknowledged(); });
}

TDrained TProtocolClient::DrainFor(milliseconds duration) {
  PumpUntil(duration, [] { return false; });
  Pump(milliseconds(0));  // what is already in the socket counts too, even for a zero duration
  TDrained drained;
  while (auto p = session_.TakeAnyCommand()) drained.commands.push_back(std::move(p));
  while (auto v = session_.TakeVoice()) drained.voice.push_back(std::move(*v));
  return drained;
}

}  // namespace vh::client
