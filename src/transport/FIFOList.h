// Growable ring buffers of the connection table: TFIFOList of packets (owning them) and
// TFIFOList_Playerid of player ids without duplicates (the scheduler's ready queue).
// Not thread-safe: the connection-table lock guards every list it owns.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "transport/Packet.h"

namespace vh {

class EFIFOList : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Ring storage shared by both lists: capacity grows by a step up to a maximum, keeping the
// oldest item first.
template <typename T>
class TFIFORing {
 public:
  TFIFORing(int32_t startItems, int32_t maxItems, int32_t growStep);

  int32_t Count() const { return count_; }
  int32_t Capacity() const { return static_cast<int32_t>(items_.size()); }
  int32_t MaxItems() const { return maxItems_; }
  int32_t GrowStep() const { return growStep_; }
  bool Empty() const { return count_ == 0; }
  // Raises "TFIFOList max items reached( capacity, grow step, maximum)" when full at maximum.
  void Put(T item);
  bool Take(T& item);
  T& Head() { return items_[head_]; }
  // The i-th oldest item (0 = head).
  T& At(int32_t i) { return items_[(head_ + i) % items_.size()]; }
  // Keeps the items for which keep(item) is true, in order; the others are handed to drop.
  template <typename Keep, typename Drop>
  void Filter(Keep keep, Drop drop);

 private:
  void Grow();

  std::vector<T> items_;
  int32_t maxItems_;
  int32_t growStep_;
  int32_t count_ = 0;
  size_t head_ = 0;  // next to take
  size_t tail_ = 0;  // next free
};

// Queue of packets; destroying it frees the packets still queued.
class TFIFOList {
 public:
  TFIFOList(int32_t startItems, int32_t maxItems, int32_t growStep)
      : ring_(startItems, maxItems, growStep) {}

  // Takes ownership also when it raises (the packet is then freed).
  void Put(std::unique_ptr<TPacket> packet);
  std::unique_ptr<TPacket> Take();  // null when empty
  const TPacket* Peek() { return ring_.Empty() ? nullptr : ring_.Head().get(); }
  int32_t Count() const { return ring_.Count(); }
  int32_t Capacity() const { return ring_.Capacity(); }
  int32_t MaxItems() const { return ring_.MaxItems(); }
  int32_t GrowStep() const { return ring_.GrowStep(); }
  bool Empty() const { return ring_.Empty(); }
  int64_t QueuedBytes() const { return bytes_; }

  // The head's speaker: offset 16 of a server voice packet, else the player id at offset 8;
  // false when the list is empty or the id is 0.
  bool HeadSpeaker(uint32_t& speaker);
  // Frees every packet whose speaker (as HeadSpeaker reads it) is not `speaker`.
  void KeepOnlySpeaker(uint32_t speaker);

 private:
  TFIFORing<std::unique_ptr<TPacket>> ring_;
  int64_t bytes_ = 0;
};

// Queue of player ids in which an id appears at most once.
class TFIFOList_Playerid {
 public:
  TFIFOList_Playerid(int32_t startItems, int32_t maxItems, int32_t growStep);

  // Does nothing when the id is already queued.
  void Put(uint32_t playerId);
  bool Take(uint32_t& playerId);
  bool Contains(uint32_t playerId) const;
  int32_t Count() const { return ring_.Count(); }

 private:
  // Open-addressing set of the queued ids (slot value 0 = free, ids stored + 1 so that id 0
  // can be queued), so membership costs O(1) without allocating per id.
  size_t Slot(uint32_t playerId) const;
  void SetInsert(uint32_t playerId);
  void SetErase(uint32_t playerId);
  void SetRehash(size_t buckets);

  TFIFORing<uint32_t> ring_;
  std::vector<uint64_t> set_;
  size_t setCount_ = 0;
};

// ---- template implementation ----

[[noreturn]] void ThrowFIFOFull(int32_t capacity, int32_t growStep, int32_t maxItems);
void CheckFIFOParameters(int32_t startItems, int32_t maxItems, int32_t growStep);

template <typename T>
TFIFORing<T>::TFIFORing(int32_t startItems, int32_t maxItems, int32_t growStep)
    : maxItems_(maxItems), growStep_(growStep) {
  CheckFIFOParameters(startItems, maxItems, growStep);
  try {
    items_.resize(static_cast<size_t>(startItems));
  } catch (const std::bad_alloc&) {
    throw EFIFOList("Can't allocate needed memory");
  }
}

template <typename T>
void TFIFORing<T>::Grow() {
  int32_t capacity = Capacity();
  int32_t wanted = std::min(capacity + growStep_, maxItems_);
  if (wanted <= capacity) ThrowFIFOFull(capacity, growStep_, maxItems_);
  std::vector<T> grown;
  try {
    grown.resize(static_cast<size_t>(wanted));
  } catch (const std::bad_alloc&) {
    throw EFIFOList("Can't allocate needed memory");
  }
  for (int32_t i = 0; i < count_; ++i) grown[i] = std::move(At(i));
  items_.swap(grown);
  head_ = 0;
  tail_ = static_cast<size_t>(count_) % items_.size();
}

template <typename T>
void TFIFORing<T>::Put(T item) {
  if (count_ == Capacity()) Grow();
  items_[tail_] = std::move(item);
  tail_ = (tail_ + 1) % items_.size();
  ++count_;
}

template <typename T>
bool TFIFORing<T>::Take(T& item) {
  if (count_ == 0) return false;
  item = std::move(items_[head_]);
  items_[head_] = T();
  head_ = (head_ + 1) % items_.size();
  --count_;
  return true;
}

template <typename T>
template <typename Keep, typename Drop>
void TFIFORing<T>::Filter(Keep keep, Drop drop) {
  int32_t kept = 0;
  for (int32_t i = 0; i < count_; ++i) {
    T& item = At(i);
    if (keep(item)) {
      if (kept != i) At(kept) = std::move(item);
      ++kept;
    } else {
      drop(item);
    }
  }
  for (int32_t i = kept; i < count_; ++i) At(i) = T();
  count_ = kept;
  tail_ = items_.empty() ? 0 : (head_ + static_cast<size_t>(kept)) % items_.size();
}

}  // namespace vh
