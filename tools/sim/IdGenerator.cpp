// IdGenerator: random service ids. Threads: as in IdGenerator.h.
#include "sim/IdGenerator.h"

#include <cstddef>
#include <mutex>
#include <random>
#include <string>

namespace quillon::sim {

IdGenerator::IdGenerator() : engine_(std::random_device{}()) {}

std::string IdGenerator::next(size_t length) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::lock_guard lock(mutex_);
    std::uniform_int_distribution<int> pick(0, 63);
    std::string id;
    id.reserve(length);
    // Never a leading dash, so that command lines built from an id do not read it as an option.
    std::uniform_int_distribution<int> pickFirst(0, 61);
    for (size_t i = 0; i < length; ++i) {
        id.push_back(kAlphabet[i == 0 ? pickFirst(engine_) : pick(engine_)]);
    }
    return id;
}

}  // namespace quillon::sim
