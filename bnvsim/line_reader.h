#pragma once
// Cuts the console's input into command lines. A line may be at most kMaxLineLength bytes: a
// longer one is discarded up to its newline, with one complaint, in time linear in the input.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace bnvsim {

class LineReader {
 public:
  static constexpr std::size_t kMaxLineLength = 1024;

  struct Piece {
    std::string line;
    bool tooLong = false;  // the operator is told once; `line` is empty
  };
  // The complete lines (without their newline) and complaints in this chunk, in order.
  std::vector<Piece> feed(std::string_view chunk);

 private:
  std::string pending_;
  bool discarding_ = false;
};

}  // namespace bnvsim
