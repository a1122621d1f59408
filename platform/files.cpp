#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace tavrin::platform {
namespace {

// Deeper trees than this are not ours; refusing them keeps the descriptor
// count and the stack bounded.
constexpr int kMaxTreeDepth = 256;

std::string ErrnoText(const std::string& what, const std::string& path, int code) {
  return what + " " + path + ": " + std::strerror(code);
}

// Writes the pieces one after the other, many to a call, through
// interruptions and short writes; 0, or the errno of the write that failed.
int WritePieces(int fd, std::span<const std::string_view> pieces) {
  constexpr size_t kPiecesPerCall = 1024;  // IOV_MAX on Linux
  size_t next = 0;                         // the first piece not yet all written
  size_t done = 0;                         // of it, the bytes already written
  while (true) {
    while (next < pieces.size() && done == pieces[next].size()) {
      ++next;
      done = 0;
    }
    if (next == pieces.size()) return 0;
    std::array<iovec, kPiecesPerCall> vectors{};
    size_t count = 0;
    for (size_t i = next; i < pieces.size() && count < kPiecesPerCall; ++i) {
      const size_t skip = i == next ? done : 0;
      vectors[count++] = {const_cast<char*>(pieces[i].data() + skip), pieces[i].size() - skip};
    }
    const ssize_t n = writev(fd, vectors.data(), static_cast<int>(count));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    for (auto left = static_cast<size_t>(n); left > 0;) {
      const size_t step = std::min(left, pieces[next].size() - done);
      done += step;
      left -= step;
      if (done == pieces[next].size()) {
        ++next;
        done = 0;
      }
    }
  }
}

// Empties the folder open at dirFd. Every step works relative to a
// descriptor opened with O_NOFOLLOW, so a link swapped in while we walk is
// removed as a link and never entered.
bool EmptyFolderAt(int dirFd, int depth) {
  if (depth > kMaxTreeDepth) return false;
  const int listFd = dup(dirFd);
  if (listFd < 0) return false;
  DIR* folder = fdopendir(listFd);
  if (folder == nullptr) {
    close(listFd);
    return false;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(folder)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  closedir(folder);

  bool ok = true;
  for (const std::string& name : names) {
    struct stat info {};
    if (fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) ok = false;
      continue;
    }
    if (!S_ISDIR(info.st_mode)) {
      if (unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT) ok = false;
      continue;
    }
    const int childFd =
        openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (childFd < 0) {
      // Replaced by a link or a file since the fstatat: remove that instead.
      if ((errno == ELOOP || errno == ENOTDIR) && unlinkat(dirFd, name.c_str(), 0) == 0) continue;
      ok = false;
      continue;
    }
    const bool emptied = EmptyFolderAt(childFd, depth + 1);
    close(childFd);
    if (!emptied || unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0) ok = false;
  }
  return ok;
}

}  // namespace

bool PathExists(const std::string& path) {
  if (path.empty()) return false;
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

bool IsFolder(const std::string& path) {
  if (path.empty()) return false;
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsOwnRegularFile(const std::string& path) {
  if (path.empty()) return false;
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid();
}

bool CopyFileOverwrite(const std::string& from, const std::string& to) {
  std::error_code error;
  return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing,
                                    error) &&
         !error;
}

bool CopyFileToNew(const std::string& from, const std::string& to, std::string* error,
                   bool* exists) {
  if (exists) *exists = false;
  auto fail = [error](std::string text) {
    if (error) *error = std::move(text);
    return false;
  };
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) return fail(ErrnoText("open", from, errno));
  struct stat info {};
  if (fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(in);
    return fail("not a regular file: " + from);
  }
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (out < 0) {
    const int code = errno;
    close(in);
    if (exists && code == EEXIST) *exists = true;
    return fail(ErrnoText("create", to, code));
  }
  // Only the file made here is removed again: a half-written page is no page.
  auto abandon = [&](const std::string& what, int code) {
    close(in);
    close(out);
    unlink(to.c_str());
    return fail(ErrnoText(what, to, code));
  };
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return abandon("read for", errno);
    }
    if (n == 0) break;
    const std::string_view read(buffer, static_cast<size_t>(n));
    if (const int code = WritePieces(out, std::span(&read, 1)); code != 0)
      return abandon("write", code);
  }
  // A full disk may show only here.
  if (fsync(out) != 0) return abandon("fsync", errno);
  close(in);
  if (close(out) != 0) {
    const int code = errno;
    unlink(to.c_str());
    return fail(ErrnoText("close", to, code));
  }
  return true;
}

bool PublishFileAsNew(const std::string& from, const std::string& to, std::string* error,
                      bool* exists) {
  if (exists) *exists = false;
  const std::filesystem::path target(to);
  const std::string hidden = (target.parent_path() / ("." + target.filename().string() + "." +
                                                      std::to_string(getpid()) + ".part"))
                                 .string();
  if (!CopyFileToNew(from, hidden, error)) return false;
  // A hard link never replaces an existing name; file systems without
  // links (FAT) may still rename without replacing.
  int code = link(hidden.c_str(), to.c_str()) == 0 ? 0 : errno;
  if (code != 0 && code != EEXIST) {
    code = renameat2(AT_FDCWD, hidden.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 0
                                                                                            : errno;
  }
  unlink(hidden.c_str());
  if (code == 0) return true;
  if (exists && code == EEXIST) *exists = true;
  if (error) *error = ErrnoText("create", to, code);
  return false;
}

bool CreateNewFolder(const std::string& path) {
  return !path.empty() && mkdir(path.c_str(), 0755) == 0;
}

std::string CreateDatedFolder(const std::string& parent) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof(stamp), "%Y-%m-%d_%H-%M-%S", &local);
  for (int i = 1; i < 1000; ++i) {
    const std::string folder =
        parent + "/" + stamp + (i == 1 ? std::string() : "-" + std::to_string(i));
    if (CreateNewFolder(folder)) return folder;
  }
  return {};
}

PathInfo InfoOf(const std::string& path) {
  PathInfo result;
  struct stat info {};
  if (path.empty() || lstat(path.c_str(), &info) != 0) return result;
  result.exists = true;
  result.regular = S_ISREG(info.st_mode);
  result.folder = S_ISDIR(info.st_mode);
  result.ownedByUser = info.st_uid == geteuid();
  result.size = static_cast<unsigned long long>(info.st_size);
  result.modifiedNs = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL +
                      static_cast<long long>(info.st_mtim.tv_nsec);
  return result;
}

PlaceResult MoveToNewName(const std::string& from, const std::string& to, std::string* error) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return PlaceResult::kPlaced;
  int code = errno;
  // Some file systems (network, FUSE) have no such rename; a hard link
  // fails the same way on a taken name.
  if (code == EINVAL || code == ENOSYS || code == EOPNOTSUPP) {
    if (link(from.c_str(), to.c_str()) == 0) {
      unlink(from.c_str());
      return PlaceResult::kPlaced;
    }
    code = errno;
  }
  if (code == EEXIST) return PlaceResult::kExists;
  if (error) *error = ErrnoText("move to", to, code);
  return PlaceResult::kFailed;
}

bool SameFileContents(const std::string& first, const std::string& second) {
  const PathInfo a = InfoOf(first);
  const PathInfo b = InfoOf(second);
  if (!a.regular || !b.regular || a.size != b.size) return false;
  std::string left;
  std::string right;
  return ReadWholeFile(first, left) && ReadWholeFile(second, right) && left == right;
}

FileLock::Result FileLock::TryLock(const std::string& path, std::string* error) {
  Unlock();
  // Made new where it can be; a file already there is taken only as a
  // plain file of ours, never through a link, so a lock file planted by
  // someone else can neither hold us off nor be written through.
  int opened = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (opened < 0 && errno == EEXIST) {
    opened = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat info {};
    if (opened >= 0 &&
        (fstat(opened, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid())) {
      close(opened);
      if (error) *error = "not a lock file of this user: " + path;
      return Result::kFailed;
    }
  }
  if (opened < 0) {
    if (error) *error = ErrnoText("open", path, errno);
    return Result::kFailed;
  }
  if (flock(opened, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    close(opened);
    if (code == EWOULDBLOCK) return Result::kBusy;
    if (error) *error = ErrnoText("lock", path, code);
    return Result::kFailed;
  }
  fd = opened;
  return Result::kLocked;
}

void FileLock::Unlock() {
  if (fd < 0) return;
  close(fd);  // drops the lock
  fd = -1;
}

bool DeleteFilePath(const std::string& path) {
  if (path.empty()) return false;
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return false;
  return unlink(path.c_str()) == 0;
}

bool CreateFolders(const std::string& path) {
  if (path.empty()) return false;
  std::error_code error;
  std::filesystem::create_directories(path, error);
  return IsFolder(path) || std::filesystem::is_directory(path, error);
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  std::filesystem::directory_iterator it(path, error);
  if (error) return names;
  // The error_code increment: the range-for form throws on a read error.
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  if (error) names.clear();
  std::sort(names.begin(), names.end());
  return names;
}

bool DeleteFolderTree(const std::string& path) {
  if (path.empty()) return false;
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return errno == ENOENT;
  if (!S_ISDIR(info.st_mode)) return unlink(path.c_str()) == 0;  // a link goes, its target stays
  const int dirFd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirFd < 0) return false;
  const bool emptied = EmptyFolderAt(dirFd, 0);
  close(dirFd);
  return emptied && rmdir(path.c_str()) == 0;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes, std::string* error,
                           Durability durability) {
  return ReplaceFileAtomically(path, std::span<const std::string_view>(&bytes, 1), error,
                               durability);
}

bool ReplaceFileAtomically(const std::string& path, std::span<const std::string_view> pieces,
                           std::string* error, Durability durability) {
  auto fail = [error](std::string text) {
    if (error) *error = std::move(text);
    return false;
  };
  if (path.empty() || path.back() == '/') return fail("no file name in '" + path + "'");

  // The temporary file lies in the same folder, so the rename cannot cross
  // file systems and is atomic.
  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return fail(ErrnoText("create temporary file for", path, errno));
  auto abandon = [&](const std::string& what, int code) {
    close(fd);
    unlink(temp.c_str());
    return fail(ErrnoText(what, temp, code));
  };

  struct stat old {};
  const mode_t mode = stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  if (fchmod(fd, mode) != 0) return abandon("chmod", errno);

  if (const int code = WritePieces(fd, pieces); code != 0) return abandon("write", code);
  const bool onDisk = durability == Durability::kOnDisk;
  if (onDisk && fsync(fd) != 0) return abandon("fsync", errno);
  if (close(fd) != 0) {
    const int code = errno;
    unlink(temp.c_str());
    return fail(ErrnoText("close", temp, code));
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    const int code = errno;
    unlink(temp.c_str());
    return fail(ErrnoText("rename over", path, code));
  }
  if (!onDisk) return true;
  // Make the rename itself durable. The new file is in place already, so a
  // failure here is not reported as a failed save.
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    fsync(folderFd);
    close(folderFd);
  }
  return true;
}

bool FreeSpaceOf(const std::string& path, uint64_t& bytes) {
  struct statvfs info {};
  if (statvfs(path.c_str(), &info) != 0) return false;
  bytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  bytes.clear();
  // O_NONBLOCK: opening a FIFO without a writer would wait for one.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  // Only regular files: a device or a pipe could feed us forever.
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return false;
  }
  bytes.reserve(static_cast<size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      bytes.clear();
      return false;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

std::FILE* OpenRegularFileForReading(const std::string& path) {
  // Without O_NONBLOCK the open itself would wait for a FIFO's writer.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return nullptr;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int code = errno;
    close(fd);
    errno = code;
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr) {
    const int code = errno;
    close(fd);
    errno = code;
  }
  return file;
}

}  // namespace tavrin::platform
