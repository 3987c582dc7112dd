// TModelLock: holds one virtual server's client registry and channel tree for a scope, taking
// the registry lock and then the tree lock, and releasing the registry first, then the tree
// (the order of vserver/ServerObject.h). The listener holds it for every event; any thread
// that reads or changes players and channels together takes it the same way.
#pragma once

#include "common/ThreadAnnotations.h"
#include "model/Channels.h"
#include "model/Clients.h"

namespace vh {

class SCOPED_CAPABILITY TModelLock {
 public:
  TModelLock(TClients& registry, TChannels& tree) ACQUIRE(registry.Mutex(), tree.Mutex())
      : registry_(registry), tree_(tree) {
    registry_.Lock();
    tree_.Lock();
  }
  ~TModelLock() RELEASE() {
    registry_.Unlock();
    tree_.Unlock();
  }
  TModelLock(const TModelLock&) = delete;
  TModelLock& operator=(const TModelLock&) = delete;

 private:
  TClients& registry_;
  TChannels& tree_;
};

}  // namespace vh
