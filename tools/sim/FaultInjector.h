// FaultInjector: the misbehaviours armed through the control endpoint, taken per request.
// Threads: any thread; a mutex guards the rules.
#pragma once

#include <list>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace quillon::sim {

// A misbehaviour to apply to one request.
struct Fault {
    enum class Kind { Respond, Drop, Lose, WrongTreeHash, Delay };
    Kind kind = Kind::Respond;
    std::string kindName = "respond";
    int status = 500;
    // Respond: a raw body when set, else a JSON error built from code/message/type.
    std::optional<std::string> body;
    nlohmann::json code = "InternalFailure";
    std::string message = "Injected failure";
    std::string type = "Server";
    std::string contentType = "application/json";
    int delayMs = 0;
};

// Faults armed through the control endpoint, each for the next `count` matching requests.
//
// A fault description is a JSON object: "kind" ("respond", "drop", "lose", "wrong-tree-hash",
// "delay"; default "respond"; "drop" handles the request, then closes the connection before
// the answer is complete: after its headers and half its body; "lose" handles the request, then
// closes the connection without a byte of the answer), "count" (default 1; -1 for every
// request), "after" (default 0: matching requests let through untouched before the fault
// applies), optional "method" and "path" (a substring of the request target) to match, and for
// "respond" "status" (default 500), "body" (raw text; "" for none) or "code"/"message"/"type",
// "contentType"; "delayMs" for "delay" (and as an extra pause for the others).
class FaultInjector {
  public:
    // Throws std::invalid_argument for a description it cannot use.
    void arm(const nlohmann::json& description);
    void clear();
    std::optional<Fault> take(const std::string& method, const std::string& target);
    nlohmann::json pending() const;

  private:
    struct Rule {
        long remaining;
        long passThrough;
        std::string method;
        std::string path;
        Fault fault;
        nlohmann::json description;
    };

    mutable std::mutex mutex_;
    std::list<Rule> rules_;
};

}  // namespace quillon::sim
