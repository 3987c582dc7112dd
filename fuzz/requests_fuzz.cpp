// libFuzzer harness of the request readers: every reader of the listener gets the same
// arbitrary datagram. A reader must never throw, never read past the datagram, and whatever it
// accepts must hold together (texts within the datagram, voice data inside the packet, whisper
// targets accounted for). Single-threaded; no state between runs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "transport/Packet.h"
#include "transport/Requests.h"

namespace {

// The readers take what they need from the packet; a voice view must lie inside it.
void CheckView(const vh::TPacket& p, std::span<const uint8_t> data) {
  const uint8_t* begin = p.Memory();
  const uint8_t* end = begin + p.Size();
  if (data.empty()) return;
  if (data.data() < begin || data.data() + data.size() > end) std::abort();
}

template <typename T>
void CheckText(const vh::TPacket& p, const T& text) {
  if (text.size() > static_cast<size_t>(p.Size())) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;  // a datagram is never longer than the receive buffer
  vh::TPacket p;
  p.SetSize(static_cast<int32_t>(size));
  if (size > 0) std::memcpy(p.Memory(), data, size);

  if (auto r = vh::ParseLogin(p)) {
    CheckText(p, r->LoginName);
    CheckText(p, r->NickName);
  }
  if (auto r = vh::ParseJoin(p)) CheckText(p, r->ChannelName);
  (void)vh::ParseCommandHeader(p);
  if (auto r = vh::ParseChannelCreate(p)) {
    CheckText(p, r->Name);
    CheckText(p, r->Topic);
    CheckText(p, r->Description);
    if (r->Password.size() > vh::kRequestNameRoom) std::abort();
  }
  (void)vh::ParseChannelPassword(p);
  (void)vh::ParseChannelProperties(p);
  for (auto parse : {vh::ParseChannelName, vh::ParseChannelTopic, vh::ParseChannelDescription})
    if (auto r = parse(p)) CheckText(p, r->Text);
  (void)vh::ParseChannelDestroy(p);
  (void)vh::ParseChannelWord(p);
  if (auto r = vh::ParseKick(p)) CheckText(p, r->Reason);
  (void)vh::ParseSwitch(p);
  (void)vh::ParseFlags(p);
  (void)vh::ParseRequestVoice(p);
  (void)vh::ParsePrivilege(p);
  for (auto parse : {vh::ParseRegister, vh::ParseAdminRegister})
    if (auto r = parse(p))
      if (r->LoginName.size() > vh::kRequestNameRoom || r->Password.size() > vh::kRequestNameRoom)
        std::abort();
  (void)vh::ParseMute(p);
  for (auto parse : {vh::ParseBanIp, vh::ParseUnbanIp})
    if (auto r = parse(p)) CheckText(p, r->Pattern);
  if (auto r = vh::ParseBanPlayer(p)) CheckText(p, r->Reason);
  (void)vh::ParseMove(p);
  (void)vh::ParseBandwidth(p);
  (void)vh::ParsePlayerInfo(p);
  if (auto r = vh::ParseText(p)) CheckText(p, r->Message);
  if (auto r = vh::ParseVoice(p)) CheckView(p, r->Data);
  if (auto r = vh::ParseWhisper(p)) {
    CheckView(p, r->Data);
    // The count byte, five bytes per target and the data make up the datagram.
    if (16 + 1 + 5 * r->Targets.size() + r->Data.size() != size) std::abort();
  }
  return 0;
}
