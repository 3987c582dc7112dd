// The recipient list of one whisper and the rule that each player hears it once. Built and
// used by the voice relay on the listener thread; plain data, no lock of its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "transport/Requests.h"

namespace vh {

struct TWhisperRecipient {
  uint32_t PlayerId = 0;
  uint8_t Kind = 0;  // the target kind through which he was reached: 0 channel, 1 player
};

// Distinct channels hold distinct players, and distinct ids are distinct players: the first
// `count` targets can name a player twice only by repeating a target or by mixing channels
// and players. Lists of a few targets are the rule, so the quadratic walk is the cheap one.
inline bool MayNameAPlayerTwice(const std::vector<TWhisperTarget>& targets, size_t count) {
  bool channels = false, players = false;
  for (size_t i = 0; i < count; ++i) {
    (targets[i].Kind == 0 ? channels : players) = true;
    for (size_t k = 0; k < i; ++k)
      if (targets[k].Kind == targets[i].Kind && targets[k].Id == targets[i].Id) return true;
  }
  return channels && players;
}

// Keeps the first entry of each player, in list order: a list that names a player again (or
// his channel too) must not multiply what the speaker sends.
inline void KeepFirstPerPlayer(std::vector<TWhisperRecipient>& list) {
  if (list.size() < 2) return;
  std::vector<std::pair<uint32_t, size_t>> byId;
  byId.reserve(list.size());
  for (size_t i = 0; i < list.size(); ++i) byId.emplace_back(list[i].PlayerId, i);
  std::sort(byId.begin(), byId.end());  // equal ids: the earliest entry first
  std::vector<bool> repeated(list.size(), false);
  for (size_t i = 1; i < byId.size(); ++i)
    if (byId[i].first == byId[i - 1].first) repeated[byId[i].second] = true;
  size_t kept = 0;
  for (size_t i = 0; i < list.size(); ++i)
    if (!repeated[i]) list[kept++] = list[i];
  list.resize(kept);
}

}  // namespace vh
