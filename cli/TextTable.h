// TextTable: rows of text in aligned columns under a header.
// Threads: not thread-safe; one owner. displayWidth is pure.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

namespace quillon::cli {

// Rows of text printed in aligned columns under a header. Widths count characters, not bytes,
// so names such as "São Paulo" line up.
class TextTable {
  public:
    explicit TextTable(std::vector<std::string> header);

    void addRow(std::vector<std::string> row);
    void print(std::ostream& out) const;

    // The number of characters in UTF-8 text.
    static std::size_t displayWidth(const std::string& text);

  private:
    std::vector<std::vector<std::string>> rows_;
};

}  // namespace quillon::cli
