// GlobalOptions: the options accepted before any subcommand.
// Threads: a plain value, filled while parsing on the main thread and only read after.
#pragma once

#include <string>

namespace quillon::cli {

// The options accepted before any subcommand.
struct GlobalOptions {
    std::string home;     // also exported as QUILLON_HOME while the program runs
    std::string account;  // empty: the only account, else the selected one
    std::string region;   // empty: the account's selected region
    std::string profile;  // non-empty: act for this profile of the AWS credentials files
    bool json = false;
    bool quiet = false;
    bool verbose = false;     // diagnostics of the library (migrations, checks) on stderr
    bool debug = false;       // a trace of every request and retry on stderr
    int retries = 0;          // attempts per request for transient failures; 0: the preference
    bool version = false;     // answered by the front door before any command
    std::string endpointUrl;  // non-empty: act against this endpoint, signed for the region
};

}  // namespace quillon::cli
