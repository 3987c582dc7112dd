#include "transport/FIFOList.h"

#include <string>

namespace vh {

namespace {
constexpr int32_t kMostItems = 100000;
constexpr int32_t kLargestGrowStep = 10000;

uint64_t SetKey(uint32_t playerId) {
  return static_cast<uint64_t>(playerId) + 1;
}

size_t Mix(uint32_t playerId) {
  uint64_t h = playerId * 0x9E3779B97F4A7C15ull;
  return static_cast<size_t>(h >> 32);
}
}  // namespace

void ThrowFIFOFull(int32_t capacity, int32_t growStep, int32_t maxItems) {
  throw EFIFOList("TFIFOList max items reached( " + std::to_string(capacity) + ", " +
                  std::to_string(growStep) + ", " + std::to_string(maxItems) + ")");
}

void CheckFIFOParameters(int32_t startItems, int32_t maxItems, int32_t growStep) {
  if (startItems < 0 || maxItems < 0 || growStep < 0)
    throw EFIFOList("Negative parameter is not allowed");
  if (startItems > maxItems) throw EFIFOList("StartItems if more than MaxItems");
  if (maxItems > kMostItems)
    throw EFIFOList(std::to_string(maxItems) +
                    " Items is to much. A FifoList can contain 100.000 items");
  if (growStep > kLargestGrowStep)
    throw EFIFOList(std::to_string(growStep) +
                    " Items is to much. A FifoList can grow with 10.000 items at a time max");
}

// ---- TFIFOList ----

void TFIFOList::Put(std::unique_ptr<TPacket> packet) {
  int64_t size = packet ? packet->Size() : 0;
  ring_.Put(std::move(packet));
  bytes_ += size;
}

std::unique_ptr<TPacket> TFIFOList::Take() {
  std::unique_ptr<TPacket> packet;
  if (ring_.Take(packet) && packet) bytes_ -= packet->Size();
  return packet;
}

namespace {
bool SpeakerOf(const TPacket* p, uint32_t& speaker) {
  if (!p) return false;
  if (p->IsServerVoicePacket())
    speaker = p->SpeakerId();
  else if (p->Size() >= 12)
    speaker = p->LongAt(8);
  else
    return false;
  return speaker != 0;
}
}  // namespace

bool TFIFOList::HeadSpeaker(uint32_t& speaker) {
  return SpeakerOf(Peek(), speaker);
}

void TFIFOList::KeepOnlySpeaker(uint32_t speaker) {
  ring_.Filter(
      [speaker](const std::unique_ptr<TPacket>& p) {
        uint32_t s = 0;
        return SpeakerOf(p.get(), s) && s == speaker;
      },
      [this](std::unique_ptr<TPacket>& p) {
        if (p) bytes_ -= p->Size();
        p.reset();
      });
}

// ---- TFIFOList_Playerid ----

TFIFOList_Playerid::TFIFOList_Playerid(int32_t startItems, int32_t maxItems, int32_t growStep)
    : ring_(startItems, maxItems, growStep) {
  SetRehash(64);
}

size_t TFIFOList_Playerid::Slot(uint32_t playerId) const {
  size_t mask = set_.size() - 1;
  size_t i = Mix(playerId) & mask;
  while (set_[i] != 0 && set_[i] != SetKey(playerId)) i = (i + 1) & mask;
  return i;
}

bool TFIFOList_Playerid::Contains(uint32_t playerId) const {
  return set_[Slot(playerId)] != 0;
}

void TFIFOList_Playerid::SetRehash(size_t buckets) {
  std::vector<uint64_t> old;
  old.swap(set_);
  set_.assign(buckets, 0);
  for (uint64_t key : old)
    if (key != 0) set_[Slot(static_cast<uint32_t>(key - 1))] = key;
}

void TFIFOList_Playerid::SetInsert(uint32_t playerId) {
  if ((setCount_ + 1) * 2 > set_.size()) SetRehash(set_.size() * 2);
  set_[Slot(playerId)] = SetKey(playerId);
  ++setCount_;
}

void TFIFOList_Playerid::SetErase(uint32_t playerId) {
  size_t mask = set_.size() - 1;
  size_t hole = Slot(playerId);
  if (set_[hole] == 0) return;
  set_[hole] = 0;
  --setCount_;
  // Backward-shift deletion: pull later members of the probe chain into the hole.
  for (size_t j = (hole + 1) & mask; set_[j] != 0; j = (j + 1) & mask) {
    size_t home = Mix(static_cast<uint32_t>(set_[j] - 1)) & mask;
    bool between = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (between) continue;
    set_[hole] = set_[j];
    set_[j] = 0;
    hole = j;
  }
}

void TFIFOList_Playerid::Put(uint32_t playerId) {
  if (Contains(playerId)) return;
  ring_.Put(playerId);
  SetInsert(playerId);
}

bool TFIFOList_Playerid::Take(uint32_t& playerId) {
  if (!ring_.Take(playerId)) return false;
  SetErase(playerId);
  return true;
}

}  // namespace vh
