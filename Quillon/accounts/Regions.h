// Regions: the built-in, custom and test regions and the lookup by id.
// Threads: main thread only; the lookup cache and test regions are unguarded.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "accounts/Region.h"

namespace quillon {

// The regions the application knows: the built-in table, the user's custom regions in
// "Regions.json" in the application directory, and regions injected by tests.
class Regions {
  public:
    Regions() = delete;

    // The 26 built-in regions in table order; the same objects on every call.
    static const std::vector<RegionPtr>& allBuiltin();
    // The built-in regions a new account works in (16 of them), in table order.
    static std::vector<RegionPtr> allStandard();
    // The regions of the custom region file, read anew on every call; empty when the file is
    // missing. A file that cannot be read, is not a JSON object, or has a region without a text
    // "host" is a fatal error (fatalError): its accounts would silently reach another endpoint.
    static std::vector<RegionPtr> allCustomFromFile();
    // allBuiltin(), then allCustomFromFile(), then the test regions in id order.
    static std::vector<RegionPtr> all();

    static RegionPtr getStandard(const std::string& id);
    static RegionPtr getCustomFromFile(const std::string& id);

    // Looks a region up by id: the cache, then the test regions, then the standard regions,
    // then the custom file. A found region stays in the cache for the life of the process.
    // A non-standard built-in region (eu-south-1, cn-north-1, ...) is found only when the
    // custom file or the test regions define its id.
    static RegionPtr get(const std::string& id);

    // Regions that tests inject by id; empty at start.
    static std::map<std::string, RegionPtr>& testRegions();

    // Empties the lookup cache, so that a test can start afresh with other test regions or
    // another custom file.
    static void clearLookupCache();

    // The path of the custom region file.
    static std::string customFilePath();
};

}  // namespace quillon
