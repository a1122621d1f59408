// Named shared memory (POSIX shm_open + mmap).
// Threads: one owner thread; Data() may be read by others while mapped.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrin::platform {

enum class ShmStatus { kOk, kExists, kMissing, kFailed };

class SharedMemory {
 public:
  SharedMemory() = default;
  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;
  SharedMemory(SharedMemory&& other) noexcept;
  SharedMemory& operator=(SharedMemory&& other) noexcept;

  // "N" becomes "/N"; characters other than letters, digits, _ - . become _.
  static std::string PosixName(std::string_view name);

  // O_CREAT | O_EXCL, mode 0600, size reserved with posix_fallocate.
  ShmStatus Create(std::string_view name, size_t size);
  // Accepts only a regular object owned by the user, without group or other
  // permissions, holding at least size bytes; anything else is kMissing.
  ShmStatus Open(std::string_view name, size_t size);

  // False once the object shrank below the mapped size (a peer truncated it),
  // so the caller must not touch Data() any more. A shrink that lands between
  // this check and an access does not fault: from then on the mapping reads
  // 0xFF bytes, writes go nowhere, and this stays false even if the object
  // grows back.
  bool StillValid() const;

  // Unmaps and closes; the creator also unlinks the name.
  void Close();
  // The creator removes the name now, keeping the mapping: once the peer
  // has opened it, nothing is left behind should this process die.
  void UnlinkName();
  bool IsOpen() const { return data_ != nullptr; }
  void* Data() const { return data_; }
  size_t Size() const { return size_; }
  const std::string& ErrorText() const { return error_; }

 private:
  int fd_ = -1;
  void* data_ = nullptr;
  size_t size_ = 0;
  bool creator_ = false;
  int guardSlot_ = -1;  // in the SIGBUS guard's table, -1 when unguarded
  std::string posixName_;
  std::string error_;
};

// Removes the objects of this user whose names begin with prefix and for
// which isStale (given the name without the leading '/') says so.
// Returns how many went.
int RemoveSharedMemoryOf(std::string_view prefix, bool (*isStale)(const std::string& name));

}  // namespace tavrin::platform
