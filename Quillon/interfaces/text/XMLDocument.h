// XMLDocument: an XML document parsed from memory by libxml2 and read by simple XPath.
// Threads: parsing is safe from any thread (libxml2 is set up once, error handlers are per
//   thread); one document is used by one thread at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct _xmlDoc;

namespace quillon {

// An XML document parsed from bytes in memory. Parsing never reaches out: no network, no DTD
// loading, entity references are left unexpanded, and errors are never printed.
class XMLDocument {
  public:
    // None when the bytes are not a well-formed document.
    static std::unique_ptr<XMLDocument> fromData(std::string_view data);

    ~XMLDocument();
    XMLDocument(const XMLDocument&) = delete;
    XMLDocument& operator=(const XMLDocument&) = delete;

    // The text of the first node at an absolute XPath of element names ("/m/p"): all text and
    // CDATA below the node, in document order, with entity references left out. None when
    // nothing matches or the expression is not valid.
    std::optional<std::string> firstNodeText(const std::string& xpath) const;

  private:
    explicit XMLDocument(_xmlDoc* doc);

    _xmlDoc* doc_;
};

}  // namespace quillon
