#include "inspect/TextColumns.h"

#include <algorithm>

namespace imgweld {

void TextColumns::MinWidth(size_t column, size_t width) {
  if (minWidths_.size() <= column) minWidths_.resize(column + 1, 0);
  minWidths_[column] = width;
}

std::string TextColumns::Text() const {
  std::vector<size_t> widths = minWidths_;
  for (const auto& row : rows_) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string text;
  for (const auto& row : rows_) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      if (i != 0) line += "  ";
      line += row[i];
      if (i + 1 < row.size()) line.append(widths[i] - row[i].size(), ' ');
    }
    line.erase(line.find_last_not_of(' ') + 1);
    text += line + "\n";
  }
  return text;
}

}  // namespace imgweld
