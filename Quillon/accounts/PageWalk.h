// PageWalk: every page of one of the service's lists (vaults, jobs, multipart uploads, parts),
// asked for one after another, each from the completion of the one before.
// Threads: the walk keeps itself alive through its pending request; its state is touched by one
// page's completion at a time (the client's callback thread, or the caller's thread when a
// request fails before it is sent), so it needs no lock.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "foundation/BaseModel.h"
#include "foundation/Error.h"
#include "interfaces/http/RequestOperation.h"

namespace quillon {

template <typename Item>
class PageWalk : public std::enable_shared_from_this<PageWalk<Item>> {
  public:
    using Items = std::vector<Item>;
    // One page's items, the next page's marker ("" after the last page) and the error.
    using Receive = std::function<void(Items page, const std::string& next, ErrorPtr error)>;
    // Asks for the page after `marker` ("" for the first one); returns the request's operation,
    // none when no request was made.
    using Fetch = std::function<RequestOperation::Ptr(const std::string& marker, Receive)>;
    // Every item of the list, or the first error; called once, or never when the first page
    // could not be asked for and there is no `noRequest` error (see run).
    using Done = std::function<void(Items all, ErrorPtr error)>;

    // A walk that has not ended after this many pages is stopped as an invalid answer.
    static constexpr int kMaxPages = 100000;

    // `noRequest` is what `done` receives when a page could not be asked for at all (a region
    // without a usable endpoint); when it is null, `done` is not called in that case.
    static void run(Fetch fetch, Done done, ErrorPtr noRequest) {
        auto walk = std::make_shared<PageWalk>(Token{}, std::move(fetch), std::move(done),
                                               std::move(noRequest));
        walk->ask("");
    }

  private:
    struct Token {};

  public:
    PageWalk(Token, Fetch fetch, Done done, ErrorPtr noRequest)
        : fetch_(std::move(fetch)), done_(std::move(done)), noRequest_(std::move(noRequest)) {}

  private:
    void ask(const std::string& marker) {
        auto self = this->shared_from_this();
        auto answered = std::make_shared<std::atomic<bool>>(false);
        auto operation =
            fetch_(marker, [self, answered](Items page, const std::string& next, ErrorPtr error) {
                answered->store(true);
                self->receive(std::move(page), next, std::move(error));
            });
        if (!operation && !answered->load() && noRequest_) {
            done_({}, noRequest_);
        }
    }

    void receive(Items page, const std::string& next, ErrorPtr error) {
        if (error) {
            done_({}, std::move(error));
            return;
        }
        items_.insert(items_.end(), std::make_move_iterator(page.begin()),
                      std::make_move_iterator(page.end()));
        if (next.empty()) {
            done_(std::move(items_), nullptr);
            return;
        }
        // A marker seen before would walk the same pages for ever.
        if (!markers_.insert(next).second || ++pages_ >= kMaxPages) {
            done_({}, BaseModel::invalidApiResponseError());
            return;
        }
        ask(next);
    }

    Fetch fetch_;
    Done done_;
    ErrorPtr noRequest_;
    Items items_;
    std::set<std::string> markers_;
    int pages_ = 0;
};

}  // namespace quillon
