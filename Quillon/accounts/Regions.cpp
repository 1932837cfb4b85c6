// Regions: the region table, the custom file and the lookup cache. Threads: as in Regions.h.
#include "accounts/Regions.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "accounts/Region.h"
#include "foundation/Error.h"
#include "foundation/FatalError.h"
#include "foundation/FileHelpers.h"
#include "foundation/JSON.h"
#include "interfaces/platform/AppDirectory.h"

namespace quillon {

namespace {

constexpr const char* kCustomFileName = "Regions.json";

struct BuiltinRow {
    const char* id;
    const char* name;
    bool isStandard;
    bool isChina;
};

constexpr BuiltinRow kBuiltinRows[] = {
    {"us-east-1", "US East (N. Virginia)", true, false},
    {"us-east-2", "US East (Ohio)", true, false},
    {"us-west-1", "US West (N. California)", true, false},
    {"us-west-2", "US West (Oregon)", true, false},
    {"ca-central-1", "Canada (Central)", true, false},
    {"eu-north-1", "Europe (Stockholm)", true, false},
    {"eu-central-1", "Europe (Frankfurt)", true, false},
    {"eu-west-1", "Europe (Ireland)", true, false},
    {"eu-west-2", "Europe (London)", true, false},
    {"eu-west-3", "Europe (Paris)", true, false},
    {"eu-south-1", "Europe (Milan)", false, false},
    {"ap-east-1", "Asia Pacific (Hong Kong)", false, false},
    {"ap-southeast-1", "Asia Pacific (Singapore)", true, false},
    {"ap-southeast-2", "Asia Pacific (Sydney)", true, false},
    {"ap-southeast-3", "Asia Pacific (Jakarta)", false, false},
    {"ap-northeast-1", "Asia Pacific (Tokyo)", true, false},
    {"ap-northeast-2", "Asia Pacific (Seoul)", true, false},
    {"ap-south-1", "Asia Pacific (Mumbai)", true, false},
    {"me-south-1", "Middle East (Bahrain)", false, false},
    {"sa-east-1", "South America (S\u00e3o Paulo)", true, false},
    {"af-south-1", "Africa (Cape Town)", false, false},
    {"cn-north-1", "China (Beijing)", false, true},
    {"cn-northwest-1", "China (Ningxia)", false, true},
    {"ap-northeast-3", "Asia Pacific (Osaka)", false, false},
    {"us-gov-west-1", "GovCloud (US)", false, false},
    {"us-gov-east-1", "GovCloud (US-East)", false, false},
};

std::vector<RegionPtr> makeBuiltin() {
    std::vector<RegionPtr> regions;
    regions.reserve(std::size(kBuiltinRows));
    for (const BuiltinRow& row : kBuiltinRows) {
        std::string domain = row.isChina ? "amazonaws.com.cn" : "amazonaws.com";
        std::string host = std::string("glacier.") + row.id + "." + domain;
        regions.push_back(std::make_shared<const Region>(row.id, row.name, host, row.isStandard));
    }
    return regions;
}

std::map<std::string, RegionPtr>& lookupCache() {
    static std::map<std::string, RegionPtr> cache;
    return cache;
}

RegionPtr firstWithId(const std::vector<RegionPtr>& regions, const std::string& id) {
    auto it = std::find_if(regions.begin(), regions.end(),
                           [&id](const RegionPtr& region) { return region->id() == id; });
    return it == regions.end() ? nullptr : *it;
}

}  // namespace

const std::vector<RegionPtr>& Regions::allBuiltin() {
    static const std::vector<RegionPtr> builtin = makeBuiltin();
    return builtin;
}

std::vector<RegionPtr> Regions::allStandard() {
    std::vector<RegionPtr> standard;
    for (const RegionPtr& region : allBuiltin()) {
        if (region->isStandardRegion()) {
            standard.push_back(region);
        }
    }
    return standard;
}

std::string Regions::customFilePath() {
    return AppDirectory::path() + "/" + kCustomFileName;
}

std::vector<RegionPtr> Regions::allCustomFromFile() {
    const std::string path = customFilePath();
    if (!FileHelpers::exists(path)) {
        return {};
    }
    // A damaged file is not read as "no custom regions": the accounts of its regions would
    // then fall back to a standard endpoint and send their requests there.
    const std::string damaged = "The region file " + path + " cannot be used: ";
    ErrorPtr readError;
    std::optional<std::string> text = FileHelpers::readFile(path, &readError);
    if (!text) {
        fatalError(damaged + (readError ? readError->localizedDescription() : "unreadable") + ".");
    }
    std::optional<JSON> document = JSON::tryParse(*text);
    if (!document || !document->isObject()) {
        fatalError(damaged + "it is not a JSON object of regions.");
    }
    std::vector<RegionPtr> regions;
    // Members keep the order in which the file lists them.
    for (const auto& [id, member] : document->value().items()) {
        JSON entry(member);
        if (!Region::isValidId(id)) {
            fatalError(damaged + "\"" + id +
                       "\" is not a region id (1 to 64 of a-z A-Z 0-9 - _, starting with a " +
                       "letter or a digit).");
        }
        if (!entry["host"].isString() || !(entry["name"].isString() || entry["name"].isNull())) {
            fatalError(damaged + "the region " + id + " needs a text \"host\" (and \"name\").");
        }
        regions.push_back(std::make_shared<const Region>(id, entry["name"].stringValue(),
                                                         entry["host"].stringValue(), false));
    }
    return regions;
}

std::vector<RegionPtr> Regions::all() {
    std::vector<RegionPtr> regions = allBuiltin();
    std::vector<RegionPtr> custom = allCustomFromFile();
    regions.insert(regions.end(), custom.begin(), custom.end());
    for (const auto& [id, region] : testRegions()) {
        if (region) {
            regions.push_back(region);
        }
    }
    return regions;
}

RegionPtr Regions::getStandard(const std::string& id) {
    return firstWithId(allStandard(), id);
}

RegionPtr Regions::getCustomFromFile(const std::string& id) {
    return firstWithId(allCustomFromFile(), id);
}

RegionPtr Regions::get(const std::string& id) {
    auto& cache = lookupCache();
    if (auto cached = cache.find(id); cached != cache.end()) {
        return cached->second;
    }
    RegionPtr found;
    if (auto injected = testRegions().find(id);
        injected != testRegions().end() && injected->second) {
        found = injected->second;
    } else {
        found = getStandard(id);
        if (!found) {
            found = getCustomFromFile(id);
        }
    }
    if (found) {
        cache[id] = found;
    }
    return found;
}

std::map<std::string, RegionPtr>& Regions::testRegions() {
    static std::map<std::string, RegionPtr> regions;
    return regions;
}

void Regions::clearLookupCache() {
    lookupCache().clear();
}

}  // namespace quillon
