// ListWriter: JSON array members and table rows as they come. Threads: as in ListWriter.h.
#include "ListWriter.h"

#include <algorithm>
#include <cstddef>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "TextTable.h"
#include "foundation/JSON.h"

namespace quillon::cli {

ListWriter::ListWriter(std::ostream& out, bool json, std::vector<std::string> header)
    : out_(out), json_(json), table_(std::move(header)) {}

bool ListWriter::add(const JSON::Value& document) {
    // As a member of an array dumped with an indent of 2: each line two spaces further in
    // (strings hold no line breaks of their own; they are escaped).
    std::string text = document.dump(2, ' ', false, JSON::Value::error_handler_t::replace);
    std::string member = entries_++ == 0 ? "[\n  " : ",\n  ";
    member.reserve(member.size() + text.size() + text.size() / 8);
    for (char c : text) {
        member += c;
        if (c == '\n') {
            member += "  ";
        }
    }
    out_ << member;
    return static_cast<bool>(out_);
}

bool ListWriter::addRow(std::vector<std::string> row) {
    table_.addRow(std::move(row));
    ++entries_;
    if (entries_ >= kMeasured) {
        printHeld();
    }
    return static_cast<bool>(out_);
}

void ListWriter::finish() {
    if (json_) {
        out_ << (entries_ == 0 ? "[]\n" : "\n]\n");
    } else {
        printHeld();
    }
}

void ListWriter::printHeld() {
    // Before anything is printed the widths are the held rows' own, as TextTable::print has
    // them; after, a column only widens.
    const std::vector<std::size_t> held = table_.widths();
    widths_.resize(std::max(widths_.size(), held.size()), 0);
    for (std::size_t i = 0; i < held.size(); ++i) {
        widths_[i] = std::max(widths_[i], held[i]);
    }
    table_.printNew(out_, widths_);
}

}  // namespace quillon::cli
