// Line framing of the query protocol, without sockets: bytes in, complete lines out. LF ends
// a line and a CR right before it is dropped. A line longer than kMaxLineLength is reported
// once as too long and its bytes are discarded up to the next LF, so a connection never
// holds more than one line's worth of memory. Owned by one connection thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vh {

struct TQueryLine {
  std::string Text;
  bool TooLong = false;  // Text is empty then
};

class TQueryLineReader {
 public:
  static constexpr size_t kMaxLineLength = 4096;

  // Appends every line that `bytes` completes to `lines`.
  void Feed(std::string_view bytes, std::vector<TQueryLine>& lines);
  // Bytes of the unfinished line held so far.
  size_t Pending() const { return current_.size(); }

 private:
  std::string current_;
  bool discarding_ = false;  // the current line overflowed; wait for its LF
};

}  // namespace vh
