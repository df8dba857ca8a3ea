#pragma once

#include <string>
#include <vector>

namespace imgweld {

// Rows of cells laid out in columns a person reads at a glance: each column
// as wide as its widest cell, two blanks between columns, no blanks at the
// ends of lines. Lines end in "\n".
class TextColumns {
 public:
  void Row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
  // Keeps a column at least `width` wide, so that blocks printed one after
  // another line up.
  void MinWidth(size_t column, size_t width);
  std::string Text() const;

 private:
  std::vector<std::vector<std::string>> rows_;
  std::vector<size_t> minWidths_;
};

}  // namespace imgweld
