// AppDirectory: the environment and home-directory lookups. Threads: as in AppDirectory.h.
#include "interfaces/platform/AppDirectory.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace quillon {

namespace {

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return "/";
}

}  // namespace

std::string AppDirectory::applicationSupportDirectory() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg != '\0') {
        return xdg;
    }
    return homeDirectory() + "/.local/share";
}

std::string AppDirectory::path() {
    if (const char* home = std::getenv("QUILLON_HOME"); home != nullptr && *home != '\0') {
        std::string dir = home;
        while (dir.size() > 1 && dir.back() == '/') {
            dir.pop_back();
        }
        return dir;
    }
    return applicationSupportDirectory() + "/Frostvale";
}

}  // namespace quillon
