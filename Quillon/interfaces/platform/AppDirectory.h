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
