#include "admin/tcpquery/QueryLineReader.h"

namespace vh {

void TQueryLineReader::Feed(std::string_view bytes, std::vector<TQueryLine>& lines) {
  while (!bytes.empty()) {
    const size_t lf = bytes.find('\n');
    const std::string_view part = bytes.substr(0, lf);
    if (!discarding_) {
      // One byte more than the room: it may be the CR before the LF, which is dropped.
      if (current_.size() + part.size() > kMaxLineLength + 1) {
        discarding_ = true;
        current_.clear();
        current_.shrink_to_fit();
        lines.push_back(TQueryLine{{}, true});
      } else {
        current_.append(part);
      }
    }
    if (lf == std::string_view::npos) break;
    if (!discarding_) {
      if (!current_.empty() && current_.back() == '\r') current_.pop_back();
      if (current_.size() > kMaxLineLength)
        lines.push_back(TQueryLine{{}, true});
      else
        lines.push_back(TQueryLine{std::move(current_), false});
    }
    current_.clear();
    discarding_ = false;
    bytes.remove_prefix(lf + 1);
  }
}

}  // namespace vh
