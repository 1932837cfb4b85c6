// AppDirectory: where the application keeps its files ($QUILLON_HOME, else the XDG data home).
// Threads: no state of its own, the environment is read on each call; any thread.
#pragma once

#include <string>

namespace quillon {

// Where the application keeps its files.
class AppDirectory {
  public:
    // The platform's per-user application-support directory: $XDG_DATA_HOME, else
    // ~/.local/share.
    static std::string applicationSupportDirectory();

    // The application directory: $QUILLON_HOME when set (the directory itself), else
    // applicationSupportDirectory() + "/Frostvale". Not created here.
    static std::string path();
};

}  // namespace quillon
