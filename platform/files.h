// File services. Nothing here follows a symbolic link when deleting.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::platform {

bool PathExists(const std::string& path);
bool IsFolder(const std::string& path);  // a real folder, not a link to one
// A regular file, not a link to one, owned by this process's user.
bool IsOwnRegularFile(const std::string& path);
bool CopyFileOverwrite(const std::string& from, const std::string& to);
// Copies into a file that must not exist yet, and never replaces one that
// does. On any failure (a full disk, say) nothing is left at `to` and false
// comes back; error says why, exists is set when `to` was already there.
bool CopyFileToNew(const std::string& from, const std::string& to, std::string* error = nullptr,
                   bool* exists = nullptr);
// Like CopyFileToNew, but the file appears at `to` whole or not at all: it
// is written under a hidden name beside `to`, flushed, then given its name
// without replacing anything (a folder a program watches never sees half a
// file).
bool PublishFileAsNew(const std::string& from, const std::string& to, std::string* error = nullptr,
                      bool* exists = nullptr);
// Creates one folder that did not exist before; false when it was there.
bool CreateNewFolder(const std::string& path);
// Creates a new folder in parent named after the local date and time
// (2026-12-09_05-49-12), with -2, -3, ... when one of the same second is
// there; its path, or empty when none could be made.
std::string CreateDatedFolder(const std::string& parent);

// What lstat tells of a path: a link is neither a file nor a folder.
struct PathInfo {
  bool exists = false;
  bool regular = false;
  bool folder = false;
  bool ownedByUser = false;
  unsigned long long size = 0;
  long long modifiedNs = 0;  // since the epoch
};
PathInfo InfoOf(const std::string& path);

// Moves from (a file) to a name that must not exist yet, in one step when
// the file system can (rename without replace), else by a hard link and an
// unlink of from. Both must lie on one file system. Never replaces a file.
enum class PlaceResult { kPlaced, kExists, kFailed };
PlaceResult MoveToNewName(const std::string& from, const std::string& to,
                          std::string* error = nullptr);
// True when both are readable regular files with the same bytes.
bool SameFileContents(const std::string& first, const std::string& second);
bool DeleteFilePath(const std::string& path);
bool CreateFolders(const std::string& path);
// Names (not paths) of the entries of a folder; empty when it cannot be read.
std::vector<std::string> ListFolder(const std::string& path);
// Removes a folder and everything under it. A link is removed, never its
// target.
bool DeleteFolderTree(const std::string& path);

// Whether a replaced file must survive a crash of the machine, or only
// never be seen half written (a file that lives for one session and is
// written anew by the next, whose flush to disk would only cost time).
enum class Durability { kOnDisk, kReadersOnly };
// Writes bytes to a temporary file in the same folder, fsyncs it (kOnDisk)
// and renames it over path. On any failure the old file stays whole and
// false comes back (error, when given, says why).
bool ReplaceFileAtomically(const std::string& path, std::string_view bytes,
                           std::string* error = nullptr,
                           Durability durability = Durability::kOnDisk);
// The same for a file of pieces in order, written as they are without
// being joined first (the rows of a large picture, say).
bool ReplaceFileAtomically(const std::string& path, std::span<const std::string_view> pieces,
                           std::string* error = nullptr,
                           Durability durability = Durability::kOnDisk);
// The bytes an unprivileged user may still write on the file system that
// holds path; false when it cannot be asked.
bool FreeSpaceOf(const std::string& path, uint64_t& bytes);
// Reads a whole file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& bytes);
// Opens a regular file for reading ("rb"); anything else (a FIFO, which
// would wait for a writer for ever, a device, a folder) gives null with
// errno set, as fopen does.
std::FILE* OpenRegularFileForReading(const std::string& path);

// An exclusive advisory lock on a file (flock), held until Unlock or the
// object goes; the kernel drops it when the process dies. Not inherited by
// programs this process starts.
class FileLock {
 public:
  enum class Result { kLocked, kBusy, kFailed };
  FileLock() = default;
  ~FileLock() { Unlock(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  // Never waits: kBusy when another holder has it (in this process too).
  Result TryLock(const std::string& path, std::string* error = nullptr);
  void Unlock();
  bool Held() const { return fd >= 0; }

 private:
  int fd = -1;
};

}  // namespace tavrin::platform
