// File services. Nothing here follows a symbolic link when deleting.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::platform {

bool PathExists(const std::string& path);
bool IsFolder(const std::string& path);  // a real folder, not a link to one
bool CopyFileOverwrite(const std::string& from, const std::string& to);
bool DeleteFilePath(const std::string& path);
bool CreateFolders(const std::string& path);
// Names (not paths) of the entries of a folder; empty when it cannot be read.
std::vector<std::string> ListFolder(const std::string& path);
// Removes a folder and everything under it. A link is removed, never its
// target.
bool DeleteFolderTree(const std::string& path);

// Writes bytes to a temporary file in the same folder, fsyncs it and renames
// it over path. On any failure the old file stays whole and false comes back
// (error, when given, says why).
bool ReplaceFileAtomically(const std::string& path, std::string_view bytes,
                           std::string* error = nullptr);
// Reads a whole file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& bytes);
// Opens a regular file for reading ("rb"); anything else (a FIFO, which
// would wait for a writer for ever, a device, a folder) gives null with
// errno set, as fopen does.
std::FILE* OpenRegularFileForReading(const std::string& path);

}  // namespace tavrin::platform
