// Region: one service endpoint, equal by id.
// Threads: immutable after construction; shared and read from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

namespace quillon {

class Region;
using RegionPtr = std::shared_ptr<const Region>;

// One Glacier service endpoint. Two regions are the same region when their ids match, whatever
// their names and hosts.
class Region {
  public:
    Region(std::string id, std::string name, std::string host, bool isStandardRegion);
    // A region whose requests are signed for `signingRegion` whatever its host (an endpoint
    // named on the command line).
    Region(std::string id, std::string name, std::string host, bool isStandardRegion,
           std::string signingRegion);

    const std::string& id() const { return id_; }
    const std::string& name() const { return name_; }
    // The endpoint host, or a full URL such as http://127.0.0.1:8080/ for a local service.
    const std::string& host() const { return host_; }
    bool isStandardRegion() const { return isStandardRegion_; }
    // The region requests are signed for, when it is not the one the host names.
    const std::optional<std::string>& signingRegion() const { return signingRegion_; }

    // "us-east-1 (US East (N. Virginia))".
    std::string description() const;

    // A host beginning with "http" is taken as the whole URL, unchanged; any other host becomes
    // "https://" + host + "/". None when the result is not a usable URL.
    std::optional<std::string> baseURL() const;
    // The text of baseURL(), or "" when there is none.
    std::string endpoint() const;

    bool operator==(const Region& other) const { return id_ == other.id_; }

    // Whether `id` can name a region: 1 to 64 of a-z A-Z 0-9 - _, starting with a letter or a
    // digit. A region id becomes part of file names and of the signing scope, so nothing else
    // (no "/", no "..") is taken from a region file, the environment or the command line.
    static bool isValidId(const std::string& id);

  private:
    std::string id_;
    std::string name_;
    std::string host_;
    bool isStandardRegion_;
    std::optional<std::string> signingRegion_;
};

// Hashing and equality by id, for both regions and shared region pointers.
struct RegionHash {
    std::size_t operator()(const Region& region) const {
        return std::hash<std::string>()(region.id());
    }
    std::size_t operator()(const RegionPtr& region) const { return region ? (*this)(*region) : 0; }
};

struct RegionEqual {
    bool operator()(const RegionPtr& a, const RegionPtr& b) const {
        if (!a || !b) {
            return a == b;
        }
        return *a == *b;
    }
};

// A set of regions, one per id.
using RegionSet = std::unordered_set<RegionPtr, RegionHash, RegionEqual>;

}  // namespace quillon

template <>
struct std::hash<quillon::Region> {
    std::size_t operator()(const quillon::Region& region) const {
        return quillon::RegionHash()(region);
    }
};
