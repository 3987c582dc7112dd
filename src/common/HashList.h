// Integer-keyed hash table with a power-of-two bucket count and doubly linked chains
// (new entries at the front). Not thread-safe: its owner's lock guards it (the connection
// table's lock for the connection index, the registry or channel tree lock in the model).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vh {

class EHashList : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

template <typename T>
class THashList {
 public:
  explicit THashList(int32_t size) {
    if (size <= 0) throw EHashList(std::to_string(size) + " is not a positive number");
    if ((size & (size - 1)) != 0) throw EHashList(std::to_string(size) + " is not a power of 2");
    buckets_.assign(static_cast<size_t>(size), nullptr);
    mask_ = static_cast<uint32_t>(size - 1);
  }
  ~THashList() { Clear(); }
  THashList(const THashList&) = delete;
  THashList& operator=(const THashList&) = delete;

  void Add(int32_t key, T value) {
    Node*& head = buckets_[Bucket(key)];
    for (Node* n = head; n; n = n->next)
      if (n->key == key) throw EHashList("Item nr " + std::to_string(key) + " already exists");
    Node* n = new Node{key, std::move(value), nullptr, head};
    if (head) head->prev = n;
    head = n;
    ++count_;
  }

  void Remove(int32_t key) {
    Node*& head = buckets_[Bucket(key)];
    for (Node* n = head; n; n = n->next) {
      if (n->key != key) continue;
      if (n->prev)
        n->prev->next = n->next;
      else
        head = n->next;
      if (n->next) n->next->prev = n->prev;
      delete n;
      --count_;
      return;
    }
    throw EHashList("Item nr " + std::to_string(key) + " does not exist");
  }

  // Gives a pointer to the stored value, or nullptr when the key is missing.
  T* Find(int32_t key) {
    for (Node* n = buckets_[Bucket(key)]; n; n = n->next)
      if (n->key == key) return &n->value;
    return nullptr;
  }
  const T* Find(int32_t key) const { return const_cast<THashList*>(this)->Find(key); }
  bool Contains(int32_t key) const { return Find(key) != nullptr; }

  void Clear() {
    for (Node*& head : buckets_) {
      while (head) {
        Node* next = head->next;
        delete head;
        head = next;
      }
    }
    count_ = 0;
  }

  size_t Count() const { return count_; }
  size_t BucketCount() const { return buckets_.size(); }

 private:
  struct Node {
    int32_t key;
    T value;
    Node* prev;
    Node* next;
  };
  size_t Bucket(int32_t key) const { return static_cast<uint32_t>(key) & mask_; }

  std::vector<Node*> buckets_;
  uint32_t mask_ = 0;
  size_t count_ = 0;
};

}  // namespace vh
