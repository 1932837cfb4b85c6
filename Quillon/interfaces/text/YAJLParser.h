// YAJLParser: event-driven JSON parsing fed in blocks, reporting to a YAJLParserDelegate.
// Threads: not thread-safe; one owner feeds it, and the delegate is called on the feeding thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct yajl_handle_t;

namespace quillon {

// A scalar of the document in its plain printed form: texts as they stand (bytes that are not
// UTF-8 included), numbers as written in the document when they are integers (so integers
// beyond 64 bits survive as text) and in shortest decimal form otherwise, true and false as
// "1" and "0", null as "<null>".
struct YAJLValue {
    enum class Kind { string, number, boolean, null };
    Kind kind;
    std::string_view text;
};

// Receives the events of a YAJLParser. Every callback has an empty default.
class YAJLParserDelegate {
  public:
    virtual ~YAJLParserDelegate() = default;
    virtual void parserDidStartDictionary() {}
    virtual void parserDidEndDictionary() {}
    virtual void parserDidStartArray() {}
    virtual void parserDidEndArray() {}
    virtual void parserDidMapKey(std::string_view /*key*/) {}
    virtual void parserDidAdd(const YAJLValue& /*value*/) {}
};

// Event-driven JSON parsing fed in blocks of any size; a token may be split across blocks.
// Nesting depth costs one bit per level on the parser's own stack, never recursion.
class YAJLParser {
  public:
    YAJLParser();
    ~YAJLParser();
    YAJLParser(const YAJLParser&) = delete;
    YAJLParser& operator=(const YAJLParser&) = delete;

    void setDelegate(YAJLParserDelegate* delegate) { delegate_ = delegate; }

    // Feeds one block. False once the document has a syntax error; later blocks are ignored.
    bool parse(const char* data, std::size_t length);
    bool parse(std::string_view block) { return parse(block.data(), block.size()); }
    // Ends the document: false when it is incomplete or damaged.
    bool finish();
    // The parser's description of the first syntax error; empty when there is none.
    const std::string& errorMessage() const { return error_; }

  private:
    void captureError(const char* data, std::size_t length);

    yajl_handle_t* handle_;
    YAJLParserDelegate* delegate_ = nullptr;
    bool failed_ = false;
    std::string error_;
    std::string number_;  // reused buffer for normalised numbers

    friend struct YAJLCallbacks;
};

}  // namespace quillon
