// Ordered list of items with an integer-keyed hash index (players, channels, per-channel
// players, privilege entries, mute lists). Not thread-safe: the owner's lock (registry or
// channel tree) guards every instance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/HashList.h"

namespace vh {

// Items are held by pointer. Whether the list owns them is its owner's decision: an owning
// list is emptied with ClearAndFree, a list of references (a channel's players) with Clear.
// A list may hold null items when only the keys matter (the mute list).
template <typename T>
class TMultiList {
 public:
  explicit TMultiList(int32_t hashSize) : hash_(hashSize) {}
  TMultiList(const TMultiList&) = delete;
  TMultiList& operator=(const TMultiList&) = delete;

  // Stores key -> item; throws EHashList (and changes nothing) when the key is present.
  // Returns the new count.
  size_t Add(T* item, int32_t key) {
    hash_.Add(key, item);
    items_.emplace_back(key, item);
    if (items_.size() > maxCount_) maxCount_ = items_.size();
    return items_.size();
  }

  // Takes the item of `key` out of the list and the index without freeing it; nullptr when
  // the key is not present.
  T* Remove(int32_t key) {
    T** found = hash_.Find(key);
    if (!found) return nullptr;
    T* item = *found;
    hash_.Remove(key);
    for (size_t i = items_.size(); i-- > 0;) {
      if (items_[i].first == key) {
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
    return item;
  }

  T* Get(int32_t key) const {
    T* const* found = hash_.Find(key);
    return found ? *found : nullptr;
  }
  bool Contains(int32_t key) const { return hash_.Contains(key); }
  size_t Count() const { return items_.size(); }
  size_t MaxCount() const { return maxCount_; }
  // List order is insertion order.
  T* Items(size_t index) const { return items_[index].second; }
  int32_t Keys(size_t index) const { return items_[index].first; }

  // Forgets every item without freeing it (lists of references).
  void Clear() {
    items_.clear();
    hash_.Clear();
  }

  // Frees every item, last to first, and empties the list (owning lists).
  void ClearAndFree() {
    while (!items_.empty()) {
      T* item = items_.back().second;
      items_.pop_back();
      delete item;
    }
    hash_.Clear();
  }

 private:
  std::vector<std::pair<int32_t, T*>> items_;
  THashList<T*> hash_;
  size_t maxCount_ = 0;
};

}  // namespace vh
