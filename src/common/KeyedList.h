// Ordered list of items with an integer-keyed hash index (players, channels, per-channel
// players, privilege entries, mute lists). Not thread-safe: the owner's lock (registry or
// channel tree) guards every instance.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vh {

// A key added twice. The name shows in log lines ("... Exception: EHashList.Item nr 1 already
// exists") that administrators search for, so it stays.
class EHashList : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline EHashList KeyExists(int32_t key) {
  return EHashList("Item nr " + std::to_string(key) + " already exists");
}

// Holder is std::unique_ptr<T> for a list that owns its items (freed when removed or
// cleared) or T* for a list of references (a channel's players). A list may hold null items
// when only the keys matter (the mute list).
template <typename T, typename Holder>
class TKeyedList {
  static_assert(std::is_same_v<Holder, T*> || std::is_same_v<Holder, std::unique_ptr<T>>);

 public:
  // `expected`: how many items the list is sized for before the index grows.
  explicit TKeyedList(size_t expected) { index_.reserve(expected); }
  ~TKeyedList() { Clear(); }
  TKeyedList(const TKeyedList&) = delete;
  TKeyedList& operator=(const TKeyedList&) = delete;

  // Stores key -> item; throws EHashList (and changes nothing but dropping an owned item)
  // when the key is present. Returns the new count.
  size_t Add(Holder item, int32_t key) {
    T* raw = Raw(item);
    const auto [at, added] = index_.try_emplace(key, raw);
    if (!added) throw KeyExists(key);
    try {
      items_.emplace_back(key, std::move(item));
    } catch (...) {
      index_.erase(at);
      throw;
    }
    if (items_.size() > maxCount_) maxCount_ = items_.size();
    return items_.size();
  }

  // Takes the item of `key` out of the list and the index (an owned item passes to the
  // caller); null when the key is not present.
  Holder Remove(int32_t key) {
    const auto found = index_.find(key);
    if (found == index_.end()) return Holder{};
    index_.erase(found);
    for (size_t i = items_.size(); i-- > 0;) {
      if (items_[i].first != key) continue;
      Holder item = std::move(items_[i].second);
      items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
      return item;
    }
    assert(false && "a key in the index has its item in the list");
    return Holder{};
  }

  T* Get(int32_t key) const {
    const auto found = index_.find(key);
    return found == index_.end() ? nullptr : found->second;
  }
  bool Contains(int32_t key) const { return index_.count(key) != 0; }
  size_t Count() const { return items_.size(); }
  size_t MaxCount() const { return maxCount_; }
  // List order is insertion order.
  T* Items(size_t index) const { return Raw(items_[index].second); }
  int32_t Keys(size_t index) const { return items_[index].first; }

  // Empties the list; owned items are freed last to first.
  void Clear() {
    while (!items_.empty()) items_.pop_back();
    index_.clear();
  }

 private:
  static T* Raw(const Holder& item) {
    if constexpr (std::is_pointer_v<Holder>)
      return item;
    else
      return item.get();
  }

  std::vector<std::pair<int32_t, Holder>> items_;
  std::unordered_map<int32_t, T*> index_;
  size_t maxCount_ = 0;
};

// A list that owns its items.
template <typename T>
using TOwningList = TKeyedList<T, std::unique_ptr<T>>;
// A list of items owned elsewhere.
template <typename T>
using TRefList = TKeyedList<T, T*>;

}  // namespace vh
