// PathComponents: slash normalisation, components and extensions. Threads: pure; any thread.
#include "foundation/PathComponents.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

namespace {

// Collapses runs of slashes into one and drops a trailing slash unless the path is "/".
std::string normalizedSlashes(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/') {
            continue;
        }
        out.push_back(c);
    }
    if (out.size() > 1 && out.back() == '/') {
        out.pop_back();
    }
    return out;
}

// Index where the last component of a normalized path starts.
std::size_t startOfLastComponent(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return 0;
    }
    return slash + 1;
}

// Index of the dot that starts the extension of a normalized path, or npos.
std::size_t extensionDot(const std::string& path) {
    const std::size_t start = startOfLastComponent(path);
    const auto dot = path.rfind('.');
    // A leading dot names a hidden file, not an extension; ".." has none either.
    if (dot == std::string::npos || dot <= start ||
        path.compare(start, std::string::npos, "..") == 0) {
        return std::string::npos;
    }
    return dot;
}

}  // namespace

std::string lastPathComponent(std::string_view path) {
    std::string fixed = normalizedSlashes(path);
    if (fixed.size() <= 1) {
        return fixed;
    }
    return fixed.substr(startOfLastComponent(fixed));
}

std::string deletingLastPathComponent(std::string_view path) {
    std::string fixed = normalizedSlashes(path);
    if (fixed.empty() || fixed == "/") {
        return fixed;
    }
    const std::size_t start = startOfLastComponent(fixed);
    if (start == 0) {
        return "";
    }
    if (start == 1) {
        return "/";
    }
    return fixed.substr(0, start - 1);
}

std::string appendingPathComponent(std::string_view path, std::string_view component) {
    std::string joined(path);
    if (!joined.empty() && !component.empty()) {
        joined.push_back('/');
    }
    joined.append(component);
    return normalizedSlashes(joined);
}

std::string trimmingSlashes(std::string_view path) {
    const auto begin = path.find_first_not_of('/');
    if (begin == std::string_view::npos) {
        return {};
    }
    const auto end = path.find_last_not_of('/');
    return std::string(path.substr(begin, end - begin + 1));
}

std::string pathExtension(std::string_view path) {
    std::string fixed = normalizedSlashes(path);
    const std::size_t dot = extensionDot(fixed);
    if (dot == std::string::npos) {
        return "";
    }
    return fixed.substr(dot + 1);
}

std::string deletingPathExtension(std::string_view path) {
    std::string fixed = normalizedSlashes(path);
    const std::size_t dot = extensionDot(fixed);
    if (dot == std::string::npos) {
        return fixed;
    }
    return fixed.substr(0, dot);
}

std::vector<std::string> pathComponents(std::string_view path) {
    std::vector<std::string> parts;
    if (path.empty()) {
        return parts;
    }
    std::size_t i = 0;
    if (path.front() == '/') {
        parts.emplace_back("/");
    }
    while (i < path.size()) {
        while (i < path.size() && path[i] == '/') {
            ++i;
        }
        const std::size_t begin = i;
        while (i < path.size() && path[i] != '/') {
            ++i;
        }
        if (i > begin) {
            parts.emplace_back(path.substr(begin, i - begin));
        }
    }
    // A trailing slash shows up as a last "/" component, as it does for directory paths.
    const bool onlyRoot = parts.size() == 1 && path.front() == '/';
    if (path.back() == '/' && !onlyRoot) {
        parts.emplace_back("/");
    }
    return parts;
}

}  // namespace quillon
