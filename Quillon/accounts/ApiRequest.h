// ApiPath, AnswerShape and ApiRequest: how a remote operation describes one request of the
// service to its account region (AccountRegion::apiPerformRequest and apiPerformJSONRequest).
// Threads: plain values without shared state; build and use them on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/Error.h"
#include "foundation/JSON.h"

namespace quillon {

// The path of one request, built segment by segment. Fixed words of the service's API go in as
// written; every name or id from elsewhere goes through vault() or id(), which check it and
// percent-encode each byte outside the unreserved set. So a "/", "?", "#" or "%2F" inside a
// name stays inside its one segment and can neither reach another resource nor start a query.
// A refused name does not throw: the path keeps the first refusal, and the request frame hands it
// to the operation's completion instead of sending anything.
class ApiPath {
  public:
    // "/-": the account-id segment that begins every path of the service.
    static ApiPath account();

    // Appends fixed words of the API such as "vaults" or "policies/data-retrieval".
    ApiPath word(std::string_view words) const;
    // Appends a vault name, checked by the vault-name rules.
    ApiPath vault(const std::string& name) const;
    // Appends an id the service gave (job, archive, upload): refused when empty, "." or "..",
    // or when it holds a blank, a control byte, "/", "?", "#", "%" or "\".
    ApiPath id(const std::string& value) const;

    // "/-/vaults/photos": the encoded path, always beginning with "/".
    const std::string& encoded() const { return encoded_; }
    // The first refused segment's error; none when every segment passed.
    const ErrorPtr& error() const { return error_; }
    // The base URL followed by this path, joined by exactly one "/".
    std::string urlWith(const std::string& baseURL) const;

    bool operator==(const ApiPath& other) const { return encoded_ == other.encoded_; }

  private:
    ApiPath segment(const std::string& text, ErrorPtr refusal) const;

    std::string encoded_;
    ErrorPtr error_;
};

// What a JSON answer must look like before an operation uses it. Every answer must be a JSON
// object; members are named by JSON pointer ("/Policy/Rules"). An answer of another shape is an
// invalid response, whatever its status, so an HTML login page answered with 200 never replaces
// what is stored.
class AnswerShape {
  public:
    // Any JSON object.
    static AnswerShape object() { return AnswerShape(); }
    // One page of a list: the array `list`, and a "Marker" that is a string, null or missing.
    // An element without its id (or that is no object) does not refuse the page: the caller
    // skips it.
    static AnswerShape page(std::string list);

    AnswerShape string(std::string member) const;
    AnswerShape objectMember(std::string member) const;
    AnswerShape array(std::string member) const;

    bool matches(const JSON& answer) const;

  private:
    enum class Kind { String, Object, Array, OptionalString };
    struct Rule {
        std::string pointer;
        Kind kind;
    };
    AnswerShape with(Rule rule) const;

    std::vector<Rule> rules_;
};

// One request of the service as a remote operation describes it, best written with designated
// initializers: {.method = "POST", .path = ..., .query = "operation=add"}. Every member has a
// default, so the omitted ones read as "none".
struct ApiRequest {
    using Headers = std::vector<std::pair<std::string, std::string>>;

    std::string method = "GET";
    ApiPath path{};
    // Sent as the query for GET, HEAD and DELETE, as a JSON body for the other methods.
    std::optional<JSON> parameters{};
    // Added to the request's header fields in this order.
    Headers headers{};
    // Appended after "?" as written, for example "operation=add".
    std::string query{};
    // False when the caller starts or queues the operation itself (to chain it, or to set
    // progress handlers first).
    bool addToQueue = true;

    // The parameters of one page of a list: "marker" unless it is empty, "limit" unless it is 0;
    // none when neither is sent.
    static std::optional<JSON> pageParameters(std::int64_t limit, const std::string& marker);

    // Why a failed request may succeed when tried again later (throttling, a 5xx answer, a
    // connection that failed); none for a failure that would only repeat. The same rule the
    // request frame retries by.
    static std::optional<std::string> transientReason(const Error& error);
};

}  // namespace quillon
