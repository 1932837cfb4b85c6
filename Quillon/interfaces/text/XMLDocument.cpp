// XMLDocument: the silenced, offline libxml2 parse and the first-node text lookup. Threads: as
// in XMLDocument.h.
#include "interfaces/text/XMLDocument.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>

#include <climits>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

namespace {

void ignoreGenericError(void*, const char*, ...) {}
void ignoreStructuredError(void*, xmlErrorPtr) {}

// Keeps libxml2 from printing anything while it exists; the previous handlers (per thread in
// libxml2) come back afterwards.
class SilencedErrors {
  public:
    SilencedErrors()
        : generic_(xmlGenericError),
          genericContext_(xmlGenericErrorContext),
          structured_(xmlStructuredError),
          structuredContext_(xmlStructuredErrorContext) {
        xmlSetGenericErrorFunc(nullptr, ignoreGenericError);
        xmlSetStructuredErrorFunc(nullptr, ignoreStructuredError);
    }
    ~SilencedErrors() {
        xmlSetGenericErrorFunc(genericContext_, generic_);
        xmlSetStructuredErrorFunc(structuredContext_, structured_);
    }
    SilencedErrors(const SilencedErrors&) = delete;
    SilencedErrors& operator=(const SilencedErrors&) = delete;

  private:
    xmlGenericErrorFunc generic_;
    void* genericContext_;
    xmlStructuredErrorFunc structured_;
    void* structuredContext_;
};

void initializeParser() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

struct XPathContextDeleter {
    void operator()(xmlXPathContext* context) const { xmlXPathFreeContext(context); }
};
struct XPathObjectDeleter {
    void operator()(xmlXPathObject* object) const { xmlXPathFreeObject(object); }
};

// Text and CDATA below the node; libxml2 limits the nesting depth, so the recursion is bounded.
void appendText(const xmlNode* node, std::string& out) {
    for (; node != nullptr; node = node->next) {
        switch (node->type) {
            case XML_TEXT_NODE:
            case XML_CDATA_SECTION_NODE:
                if (node->content != nullptr) {
                    out += reinterpret_cast<const char*>(node->content);
                }
                break;
            case XML_ELEMENT_NODE:
                appendText(node->children, out);
                break;
            default:
                break;
        }
    }
}

}  // namespace

std::unique_ptr<XMLDocument> XMLDocument::fromData(std::string_view data) {
    if (data.size() > static_cast<std::size_t>(INT_MAX)) {
        return nullptr;
    }
    initializeParser();
    SilencedErrors silenced;
    // No XML_PARSE_NOENT and no XML_PARSE_DTDLOAD: entities stay references and nothing
    // outside the bytes is ever read.
    constexpr int kOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    xmlDoc* doc =
        xmlReadMemory(data.data(), static_cast<int>(data.size()), nullptr, "UTF-8", kOptions);
    if (doc == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<XMLDocument>(new XMLDocument(doc));
}

XMLDocument::XMLDocument(_xmlDoc* doc) : doc_(doc) {}

XMLDocument::~XMLDocument() {
    xmlFreeDoc(doc_);
}

std::optional<std::string> XMLDocument::firstNodeText(const std::string& xpath) const {
    SilencedErrors silenced;
    std::unique_ptr<xmlXPathContext, XPathContextDeleter> context(xmlXPathNewContext(doc_));
    if (!context) {
        return std::nullopt;
    }
    std::unique_ptr<xmlXPathObject, XPathObjectDeleter> result(
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(xpath.c_str()), context.get()));
    if (!result || result->type != XPATH_NODESET || result->nodesetval == nullptr ||
        result->nodesetval->nodeNr < 1) {
        return std::nullopt;
    }
    const xmlNode* node = result->nodesetval->nodeTab[0];
    std::string text;
    if (node->type == XML_ELEMENT_NODE || node->type == XML_ATTRIBUTE_NODE) {
        appendText(node->children, text);
    } else if (node->content != nullptr) {
        text = reinterpret_cast<const char*>(node->content);
    }
    return text;
}

}  // namespace quillon
