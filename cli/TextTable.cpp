// TextTable: escaped cells, column widths by characters, and printing. Threads: as in
// TextTable.h.

#include "TextTable.h"

#include <algorithm>
#include <cstddef>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "HumanText.h"

namespace quillon::cli {

TextTable::TextTable(std::vector<std::string> header) {
    rows_.push_back(std::move(header));
}

void TextTable::addRow(std::vector<std::string> row) {
    for (std::string& cell : row) {
        cell = escapedText(cell);  // a line break in a name must not start a row
    }
    rows_.push_back(std::move(row));
}

std::size_t TextTable::displayWidth(const std::string& text) {
    return std::count_if(text.begin(), text.end(),
                         [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
}

std::vector<std::size_t> TextTable::widths() const {
    std::vector<std::size_t> widths;
    for (const auto& row : rows_) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], displayWidth(row[i]));
        }
    }
    return widths;
}

void TextTable::print(std::ostream& out) const {
    const std::vector<std::size_t> columns = widths();
    for (const auto& row : rows_) {
        printRow(out, row, columns);
    }
}

void TextTable::printNew(std::ostream& out, const std::vector<std::size_t>& widths) {
    for (std::size_t i = headerPrinted_ ? 1 : 0; i < rows_.size(); ++i) {
        printRow(out, rows_[i], widths);
    }
    headerPrinted_ = true;
    rows_.resize(1);
}

void TextTable::printRow(std::ostream& out, const std::vector<std::string>& row,
                         const std::vector<std::size_t>& widths) {
    for (std::size_t i = 0; i < row.size(); ++i) {
        out << row[i];
        if (i + 1 < row.size()) {
            const std::size_t width = i < widths.size() ? widths[i] : 0;
            out << std::string(std::max(width, displayWidth(row[i])) - displayWidth(row[i]) + 2,
                               ' ');
        }
    }
    out << '\n';
}

}  // namespace quillon::cli
