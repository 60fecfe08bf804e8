// Path operations used by the agent and the viewer.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace platform {

// The user's home folder: $HOME, else the password database entry.
std::string homeDirectory();
// The folder part of a path: "/a/b" -> "/a", "/a" -> "/", "a" -> ".".
std::string parentFolder(const std::string& path);
// "~" and "~/..." become the home folder; anything else is returned unchanged.
std::string expandTilde(std::string_view path);
// True when a file, folder or anything else exists at the path (no link following
// for the last component is needed by callers, so lstat semantics apply).
bool pathExists(const std::string& path);
bool isDirectory(const std::string& path);
// Creates one folder level with default permissions; the parent must exist. A
// folder already at the path counts as success.
bool createDirectory(const std::string& path);
// Removes a file, or a folder with everything in it. Symbolic links are removed,
// never followed.
bool removePath(const std::string& path);
// Copies a file or folder tree to a path where nothing exists yet. On failure
// nothing is left at the destination.
bool copyTree(const std::string& from, const std::string& to);
// Creates (or replaces) a file holding exactly these bytes by atomic replace.
bool writeFileAtomically(const std::string& path, std::string_view bytes);
// Removes the temporary files that an atomic replace left in `folder` when its
// process was killed mid-write, once they are older than `minAge` (so that a
// write still in flight in another process is never touched). Returns how
// many were removed.
int removeStaleTemporaryFiles(const std::string& folder, std::chrono::seconds minAge);
// Reads a whole file; false when it cannot be read or is larger than maxBytes.
bool readFile(const std::string& path, std::string& out, size_t maxBytes = size_t(1) << 30);

} // namespace platform
