// IdGenerator: random job, upload and archive ids in the service's URL-safe alphabet.
// Threads: any thread; a mutex guards the random engine.
#pragma once

#include <cstddef>
#include <mutex>
#include <random>
#include <string>

namespace quillon::sim {

// Random identifiers in the service's URL-safe alphabet.
class IdGenerator {
  public:
    IdGenerator();
    std::string next(size_t length);

  private:
    std::mutex mutex_;
    std::mt19937_64 engine_;
};

}  // namespace quillon::sim
