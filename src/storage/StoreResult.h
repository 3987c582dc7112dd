// The outcome of a storage write (a script run, a transaction's begin or commit): done, or
// failed with the back-end's error text. The back-end has already logged and counted a failure;
// the text is for a caller that answers with it. A value type, used by the calling thread only.
// Marked [[nodiscard]]: a caller that drops a result does not compile, so a failed write is
// always either handled or visibly ignored with static_cast<void>.
#pragma once

#include <string>
#include <utility>

namespace vh {

class [[nodiscard]] TStoreResult {
 public:
  static TStoreResult Done() { return TStoreResult(true, {}); }
  static TStoreResult Failed(std::string error) { return TStoreResult(false, std::move(error)); }

  bool Ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  // Empty when the write was done.
  const std::string& Error() const { return error_; }

 private:
  TStoreResult(bool ok, std::string error) : ok_(ok), error_(std::move(error)) {}

  bool ok_;
  std::string error_;
};

}  // namespace vh
