// PathComponents: "/"-separated path text operations that never touch the file system.
// Threads: pure functions; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// Path text operations that treat "/" as the only separator and work on the text alone (the
// file system is never consulted). Repeated slashes count as one and a trailing slash is
// ignored, except where a path is the root "/" itself.

// "a/b/c.txt" -> "c.txt"; "a/b/" -> "b"; "/" -> "/"; "" -> "".
std::string lastPathComponent(std::string_view path);

// "a/b/c.txt" -> "a/b"; "c.txt" -> ""; "/a" -> "/"; "/" -> "/".
std::string deletingLastPathComponent(std::string_view path);

// Joins with exactly one slash: "/tmp" + "x" and "/tmp/" + "x" both give "/tmp/x";
// either side empty gives the other side.
std::string appendingPathComponent(std::string_view path, std::string_view component);

// The text after the last dot of the last component: "a/b.tar.gz" -> "gz"; ".profile" -> "";
// "a/b" -> "".
std::string pathExtension(std::string_view path);

// The path without the extension and its dot: "a/b.tar.gz" -> "a/b.tar"; "a/b/" -> "a/b".
std::string deletingPathExtension(std::string_view path);

// Without leading and trailing slashes: "/a/b/" -> "a/b"; "//" -> "".
std::string trimmingSlashes(std::string_view path);

// "/a/b" -> {"/", "a", "b"}; "a/b/" -> {"a", "b", "/"}; "" -> {}.
std::vector<std::string> pathComponents(std::string_view path);

}  // namespace quillon
