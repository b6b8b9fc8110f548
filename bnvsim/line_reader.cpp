#include "bnvsim/line_reader.h"

namespace bnvsim {

std::vector<LineReader::Piece> LineReader::feed(std::string_view chunk) {
  std::vector<Piece> pieces;
  while (!chunk.empty()) {
    const std::size_t newline = chunk.find('\n');
    const std::string_view part = chunk.substr(0, newline);
    if (!discarding_ && pending_.size() + part.size() > kMaxLineLength) {
      pieces.push_back({{}, true});
      pending_.clear();
      discarding_ = true;
    }
    if (!discarding_) pending_.append(part);
    if (newline == std::string_view::npos) break;
    if (!discarding_) pieces.push_back({std::move(pending_), false});
    pending_.clear();
    discarding_ = false;
    chunk.remove_prefix(newline + 1);
  }
  return pieces;
}

}  // namespace bnvsim
