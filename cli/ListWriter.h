// ListWriter: a command's result that is a list, written as its entries come.
// Threads: the main thread, inside CliOutput::resultList.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

#include "TextTable.h"
#include "foundation/JSON.h"

namespace quillon::cli {

// A list of millions of entries (an inventory search) is never held whole: with --json each
// entry goes out as a member of one JSON array, exactly as CliOutput::result would write the
// whole array; else as a row of a table. The table's columns are as wide as their widest cell
// among the first kMeasured rows, which is all of them in most lists; a later, wider cell
// widens its column from its row on.
class ListWriter {
  public:
    static constexpr std::size_t kMeasured = 10000;

    ListWriter(std::ostream& out, bool json, std::vector<std::string> header);

    bool json() const { return json_; }
    // One entry: with --json its document, else its row. Each answers false once standard
    // output failed, so that the caller stops.
    bool add(const JSON::Value& document);
    bool addRow(std::vector<std::string> row);
    // Writes what is held and closes the array or the table.
    void finish();

  private:
    // Prints the rows held, widening the columns to fit them.
    void printHeld();

    std::ostream& out_;
    const bool json_;
    std::size_t entries_ = 0;
    TextTable table_;
    std::vector<std::size_t> widths_;
};

}  // namespace quillon::cli
