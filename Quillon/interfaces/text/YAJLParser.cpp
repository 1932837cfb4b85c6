// YAJLParser: the yajl callbacks that turn tokens into delegate events. Threads: as in
// YAJLParser.h.
#include "interfaces/text/YAJLParser.h"

#include <yajl/yajl_parse.h>

#include <charconv>
#include <cstdlib>
#include <string_view>

namespace quillon {

struct YAJLCallbacks {
    static YAJLParser& parser(void* context) { return *static_cast<YAJLParser*>(context); }

    static void add(void* context, YAJLValue::Kind kind, std::string_view text) {
        YAJLParser& self = parser(context);
        if (self.delegate_ != nullptr) {
            self.delegate_->parserDidAdd(YAJLValue{kind, text});
        }
    }

    static int null(void* context) {
        add(context, YAJLValue::Kind::null, "<null>");
        return 1;
    }

    static int boolean(void* context, int value) {
        add(context, YAJLValue::Kind::boolean, value != 0 ? "1" : "0");
        return 1;
    }

    static int number(void* context, const char* text, std::size_t length) {
        std::string_view raw(text, length);
        if (raw.find_first_of(".eE") == std::string_view::npos) {
            add(context, YAJLValue::Kind::number, raw);
            return 1;
        }
        YAJLParser& self = parser(context);
        self.number_.assign(raw);
        double value = std::strtod(self.number_.c_str(), nullptr);
        char buffer[64];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        self.number_.assign(buffer, result.ptr);
        add(context, YAJLValue::Kind::number, self.number_);
        return 1;
    }

    static int string(void* context, const unsigned char* text, std::size_t length) {
        add(context, YAJLValue::Kind::string,
            std::string_view(reinterpret_cast<const char*>(text), length));
        return 1;
    }

    static int mapKey(void* context, const unsigned char* key, std::size_t length) {
        YAJLParser& self = parser(context);
        if (self.delegate_ != nullptr) {
            self.delegate_->parserDidMapKey(
                std::string_view(reinterpret_cast<const char*>(key), length));
        }
        return 1;
    }

    template <void (YAJLParserDelegate::*event)()>
    static int structure(void* context) {
        YAJLParser& self = parser(context);
        if (self.delegate_ != nullptr) {
            (self.delegate_->*event)();
        }
        return 1;
    }

    static constexpr yajl_callbacks table = {
        null,
        boolean,
        nullptr,  // integers and doubles arrive as raw numbers
        nullptr,
        number,
        string,
        structure<&YAJLParserDelegate::parserDidStartDictionary>,
        mapKey,
        structure<&YAJLParserDelegate::parserDidEndDictionary>,
        structure<&YAJLParserDelegate::parserDidStartArray>,
        structure<&YAJLParserDelegate::parserDidEndArray>,
    };
};

YAJLParser::YAJLParser() : handle_(yajl_alloc(&YAJLCallbacks::table, nullptr, this)) {
    // A text with bytes that are not UTF-8 is passed on as it is instead of ending the parse.
    yajl_config(handle_, yajl_dont_validate_strings, 1);
}

YAJLParser::~YAJLParser() {
    yajl_free(handle_);
}

bool YAJLParser::parse(const char* data, std::size_t length) {
    if (failed_) {
        return false;
    }
    auto status = yajl_parse(handle_, reinterpret_cast<const unsigned char*>(data), length);
    if (status != yajl_status_ok) {
        captureError(data, length);
    }
    return !failed_;
}

bool YAJLParser::finish() {
    if (failed_) {
        return false;
    }
    if (yajl_complete_parse(handle_) != yajl_status_ok) {
        captureError(nullptr, 0);
    }
    return !failed_;
}

void YAJLParser::captureError(const char* data, std::size_t length) {
    failed_ = true;
    unsigned char* message =
        yajl_get_error(handle_, 0, reinterpret_cast<const unsigned char*>(data), length);
    if (message != nullptr) {
        error_ = reinterpret_cast<const char*>(message);
        yajl_free_error(handle_, message);
    }
    while (!error_.empty() && (error_.back() == '\n' || error_.back() == ' ')) {
        error_.pop_back();
    }
}

}  // namespace quillon
