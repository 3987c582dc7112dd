// Voice relay: one server voice packet per listener for a client voice packet addressed to the
// speaker's channel, to his parent channel, or to a whisper list. The voice data is never
// decoded. The listener thread, or the socket's receive thread through RelayVoiceBatch; both
// with the registry and channel tree locks held. The copies of one packet are
// built in reused packets and queued together with one connection-table lock hold.
#include <algorithm>
#include <vector>

#include "common/Log.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "storage/DateTime.h"
#include "transport/ConnectionTable.h"
#include "transport/Requests.h"
#include "vserver/Listener.h"
#include "vserver/ServerObject.h"
#include "vserver/handlers/WhisperRecipients.h"

namespace vh {

namespace {

constexpr const char* kVoiceCategory = "UDP VOICE";
constexpr const char* kListenerCategory = "UDP Listener";
// Longest voice data the parent-channel and whisper relays pass on.
constexpr size_t kMaxRelayedVoice = 16385;
constexpr uint8_t kTargetChannel = 0;
constexpr uint8_t kTargetPlayer = 1;
// Targets of one whisper that are looked at; the rest of a longer list is ignored, so one
// datagram cannot make the server send more than this many copies to named players.
constexpr size_t kMaxWhisperTargets = 64;

// What every relayed copy shares: the client header fields that pass through and the data.
struct TVoiceSource {
  TVoiceHeader header;
  uint32_t speakerId = 0;
  std::span<const uint8_t> data;
  double arrivedMs = -1;  // the source's stamp (see TPacket::QueuedMs)
};

// Spare packets the listener keeps for the copies of the next voice packets.
constexpr size_t kVoiceSpares = 128;

// Header word 12 carries the speaker's counter until the connection table puts the
// listener connection's own counter there; word 20 keeps the speaker's.
void RelayTo(std::vector<std::unique_ptr<TPacket>>& copies,
             std::vector<std::unique_ptr<TPacket>>& spares, const TClientRecord& listener,
             uint8_t selector, const TVoiceSource& s) {
  std::unique_ptr<TPacket> out;
  if (!spares.empty()) {
    out = std::move(spares.back());
    spares.pop_back();
  } else {
    out = std::make_unique<TPacket>();
  }
  FillServerVoicePacket(*out, selector, s.header.DataByte, listener.ConnectionID, listener.PlayerID,
                        s.header.Counter, s.header.DataWord, s.speakerId, s.header.Counter);
  out->Write(s.data.data(), static_cast<int32_t>(s.data.size()));
  out->SetQueuedMs(s.arrivedMs);
  copies.push_back(std::move(out));
}

bool Hears(const TClientRecord& listener, const TClientRecord& speaker) {
  return (listener.PlayerFlags & PF_HEARS_NOTHING) == 0 &&
         !TClients::IsInPlayerMuteList(&listener, speaker.PlayerID);
}

// May `speaker` be heard in `channel`? On a public server only in his own channel, its
// siblings and its parent; in a moderated channel only with CA, O or V, or as server admin.
bool MayTalkInChannel(TChannels& tree, uint16_t serverFlags, const TClientRecord* speaker,
                      const TChannel* channel) REQUIRES(tree.Mutex()) {
  if (!speaker || !channel) return false;
  if ((serverFlags & SF_PUBLIC) != 0 && channel->ID != speaker->ChannelID) {
    const TChannel* own = tree.GetChannel(speaker->ChannelID);
    if (!own) return false;
    if (own->ParentID != channel->ParentID && own->ParentID != channel->ID) return false;
  }
  if (channel->HasFlag(CF_MODERATED)) {
    const uint16_t voiced = CP_CHANNEL_ADMIN | CP_OPERATOR | CP_VOICE;
    if ((speaker->ChannelPrivileges & voiced) == 0 && !speaker->IsServerAdmin()) return false;
  }
  return true;
}

}  // namespace

void TVHUDPListener::FlushVoiceCopies(TRelayScratch& scratch) {
  const size_t have = scratch.spares.size();
  const size_t wanted = have < kVoiceSpares ? kVoiceSpares - have : 0;
  if (scratch.copies.empty() && wanted == 0) return;
  Buffer().SendPackets(scratch.copies, &scratch.spares, wanted);
}

void TVHUDPListener::RelayVoice(TClientRecord* speaker, const TPacket& packet,
                                TRelayScratch& scratch) {
  // Voice of a player who has not joined yet is not relayed.
  if (!speaker || speaker->LoggedIn != 1) return;
  try {
    const auto voice = ParseVoice(packet);
    if (!voice) return;
    switch (voice->Header.Selector) {
      case 0:
        RelayToOwnChannel(speaker, packet, scratch);
        break;
      case 1:
        RelayWhisper(speaker, packet, scratch);
        break;
      case 2:
        RelayToParentChannel(speaker, packet, scratch);
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    LogHandlerException("UDP VOICE", e);
  }
}

void TVHUDPListener::RelayVoiceBatch(std::vector<std::unique_ptr<TPacket>>& voice) {
  if (voice.empty()) return;
  // Never wait here: a listener busy with a login or the database keeps the locks for a
  // while, and the receive thread must go back to its socket. Its queue takes the voice then.
  if (!Clients().Mutex().try_lock()) {
    Buffer().QueueVoiceEvents(voice);
    return;
  }
  if (!Channels().Mutex().try_lock()) {
    Clients().Mutex().unlock();
    Buffer().QueueVoiceEvents(voice);
    return;
  }
  for (std::unique_ptr<TPacket>& packet : voice) {
    try {
      // As for every datagram the listener takes: the player was active now.
      TClientRecord* speaker = Clients().GetClientByID(packet->PacketPlayerId());
      if (speaker) speaker->LastActivity = NowDateTime();
      RelayVoice(speaker, *packet, receiveRelay_);
    } catch (const std::exception& e) {
      LogHandlerException("UDP VOICE", e);
    }
  }
  // Released in the order of TModelLock: the registry first, then the tree.
  Clients().Mutex().unlock();
  Channels().Mutex().unlock();
  // The datagrams themselves go back to the table's pool with the next batch's spares.
  Buffer().RecyclePackets(voice);
}

void TVHUDPListener::RelayToOwnChannel(TClientRecord* speaker, const TPacket& packet,
                                       TRelayScratch& scratch) {
  scratch.copies.clear();  // what a failed relay left behind is not sent late
  try {
    if (!speaker || speaker->LoggedIn != 1) return;
    TChannel* channel = Channels().GetChannel(speaker->ChannelID);
    if (!channel) return;
    if (!MayTalkInChannel(Channels(), server_.ServerFlags().load(), speaker, channel)) return;
    const auto voice = ParseVoice(packet);
    if (!voice) return;
    const TVoiceSource s{voice->Header, speaker->PlayerID, voice->Data, packet.QueuedMs()};
    for (size_t i = 0; i < channel->Players.Count(); ++i) {
      TClientRecord* listener = channel->Players.Items(i);
      if (!listener || listener == speaker || !Hears(*listener, *speaker)) continue;
      RelayTo(scratch.copies, scratch.spares, *listener, 0, s);
    }
    FlushVoiceCopies(scratch);
  } catch (const std::exception& e) {
    LogText(LMT_ERROR, LMD_ALL,
            std::string("ProgressVoiceData_SendVoiceDataToChannel Exception: ") +
                ExceptionClassName(e) + "." + e.what(),
            kListenerCategory);
  }
}

void TVHUDPListener::RelayToParentChannel(TClientRecord* speaker, const TPacket& packet,
                                          TRelayScratch& scratch) {
  scratch.copies.clear();  // what a failed relay left behind is not sent late
  try {
    if (!speaker || speaker->LoggedIn != 1) return;
    const auto voice = ParseVoice(packet);
    if (!voice) return;
    TVoiceSource s{voice->Header, speaker->PlayerID, voice->Data, packet.QueuedMs()};
    if (s.data.size() > kMaxRelayedVoice) {
      s.data = s.data.first(kMaxRelayedVoice);
      LogText(LMT_WARNING, LMD_ALL,
              "ProgressVoiceData_SendVoiceDataToParentChannel, invalid packet size",
              kVoiceCategory);
    }
    TChannel* own = Channels().GetChannel(speaker->ChannelID);
    TChannel* parent = own ? Channels().GetChannel(own->ParentID) : nullptr;
    if (!parent) {
      LogText(LMT_WARNING, LMD_ALL,
              "TVHUDPListener.ProgressVoiceData_SendVoiceDataToParentChannel, unable to get "
              "parentchannel",
              kVoiceCategory);
      return;
    }
    if (!MayTalkInChannel(Channels(), server_.ServerFlags().load(), speaker, parent)) return;
    for (size_t i = 0; i < Clients().Count(); ++i) {
      TClientRecord* listener = Clients().Items(i);
      if (listener == speaker || listener->ChannelID != speaker->ChannelID) continue;
      if (!Hears(*listener, *speaker)) continue;
      RelayTo(scratch.copies, scratch.spares, *listener, 2, s);
    }
    FlushVoiceCopies(scratch);
  } catch (const std::exception&) {
    // Voice is best effort: a failed relay is not worth a log line per datagram.
  }
}

void TVHUDPListener::RelayWhisper(TClientRecord* speaker, const TPacket& packet,
                                  TRelayScratch& scratch) {
  scratch.copies.clear();  // what a failed relay left behind is not sent late
  try {
    if (!speaker || speaker->LoggedIn != 1) return;
    // A target list that runs past the datagram is not guessed at: the datagram is dropped.
    const auto whisper = ParseWhisper(packet);
    if (!whisper || whisper->Targets.empty()) return;
    TVoiceSource s{whisper->Header, speaker->PlayerID, whisper->Data, packet.QueuedMs()};
    if (s.data.size() > kMaxRelayedVoice) {
      s.data = s.data.first(kMaxRelayedVoice);
      LogText(LMT_WARNING, LMD_ALL, "ProgressVoiceData_SendVoiceDataWhisper, invalid packet size",
              kVoiceCategory);
    }

    std::vector<TWhisperRecipient> recipients;
    const uint16_t serverFlags = server_.ServerFlags().load();
    const size_t targetCount = std::min(whisper->Targets.size(), kMaxWhisperTargets);
    for (size_t t = 0; t < targetCount; ++t) {
      const uint8_t kind = whisper->Targets[t].Kind;
      const uint32_t id = whisper->Targets[t].Id;
      if (kind == kTargetPlayer) {
        if (id != speaker->PlayerID) recipients.push_back({id, kTargetPlayer});
      } else if (kind == kTargetChannel) {
        TChannel* channel = Channels().GetChannel(static_cast<int32_t>(id));
        if (!channel || !MayTalkInChannel(Channels(), serverFlags, speaker, channel)) continue;
        for (size_t i = 0; i < Clients().Count(); ++i) {
          TClientRecord* q = Clients().Items(i);
          if (q != speaker && q->ChannelID == channel->ID)
            recipients.push_back({q->PlayerID, kTargetChannel});
        }
      }
    }
    if (MayNameAPlayerTwice(whisper->Targets, targetCount)) KeepFirstPerPlayer(recipients);
    for (const TWhisperRecipient& r : recipients) {
      TClientRecord* listener = Clients().GetClientByID(r.PlayerId);
      if (!listener || listener->LoggedIn != 1) continue;
      if ((listener->PlayerFlags & PF_REFUSES_WHISPERS) != 0) continue;
      if (!Hears(*listener, *speaker)) continue;
      RelayTo(scratch.copies, scratch.spares, *listener, r.Kind, s);
    }
    FlushVoiceCopies(scratch);
  } catch (const std::exception&) {
    // Voice is best effort: a failed relay is not worth a log line per datagram.
  }
}

}  // namespace vh
