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
    // The widest cell of each column among the header and the rows held.
    std::vector<std::size_t> widths() const;
    // The rows held, the header not counted.
    std::size_t rowCount() const { return rows_.size() - 1; }
    // For tables too long to hold: prints with `widths` what was not printed yet (the header
    // once, then the rows held) and forgets those rows.
    void printNew(std::ostream& out, const std::vector<std::size_t>& widths);

    // The number of characters in UTF-8 text.
    static std::size_t displayWidth(const std::string& text);

  private:
    static void printRow(std::ostream& out, const std::vector<std::string>& row,
                         const std::vector<std::size_t>& widths);

    std::vector<std::vector<std::string>> rows_;  // the header first
    bool headerPrinted_ = false;
};

}  // namespace quillon::cli
