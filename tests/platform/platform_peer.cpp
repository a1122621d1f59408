// A second process for the platform tests: plants shared-memory objects the
// way a hostile or broken peer would, and runs file replacement under limits
// the test process cannot put on itself.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/shared_memory.h"

namespace {

constexpr int kNobodyId = 65534;

int Fail(const char* what) {
  std::fprintf(stderr, "peer: %s: %s\n", what, std::strerror(errno));
  return 90;
}

bool BecomeNobody() {
  return setgid(kNobodyId) == 0 && setuid(kNobodyId) == 0;
}

// Creates a raw object and leaves it behind for the test to examine.
int PlantObject(const std::string& name, off_t size, mode_t mode) {
  const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return Fail("shm_open");
  if (fchmod(fd, mode) != 0) return Fail("fchmod");
  if (ftruncate(fd, size) != 0) return Fail("ftruncate");
  close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 91;
  const std::string command = argv[1];
  auto arg = [&](int i) { return i < argc ? std::string(argv[i]) : std::string(); };

  if (command == "exit") return std::atoi(argv[2]);
  if (command == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
    return 0;
  }
  if (command == "env") {
    const char* value = std::getenv(argv[2]);
    return value != nullptr && arg(3) == value ? 0 : 1;
  }
  if (command == "plant-foreign") {  // name size
    if (!BecomeNobody()) return Fail("setuid");
    return PlantObject(arg(2), std::atol(argv[3]), 0600);
  }
  if (command == "plant-mode") {  // name size octal-mode
    return PlantObject(arg(2), std::atol(argv[3]),
                       static_cast<mode_t>(std::strtol(argv[4], nullptr, 8)));
  }
  if (command == "shrink") {  // name size
    const int fd = shm_open(arg(2).c_str(), O_RDWR, 0);
    if (fd < 0) return Fail("shm_open");
    if (ftruncate(fd, std::atol(argv[3])) != 0) return Fail("ftruncate");
    close(fd);
    return 0;
  }
  if (command == "create") {  // name size: 0 created, 3 exists, 4 other
    tavrin::platform::SharedMemory block;
    const auto status = block.Create(arg(2), static_cast<size_t>(std::atol(argv[3])));
    if (status == tavrin::platform::ShmStatus::kOk) return 0;
    return status == tavrin::platform::ShmStatus::kExists ? 3 : 4;
  }
  // The replace commands exit 0 when the replacement failed and said why.
  if (command == "replace-limited") {  // path limit-bytes byte-count
    signal(SIGXFSZ, SIG_IGN);          // a write past the limit then fails with EFBIG
    rlimit limit{static_cast<rlim_t>(std::atol(argv[3])), static_cast<rlim_t>(std::atol(argv[3]))};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return Fail("setrlimit");
    std::string error;
    const std::string bytes(static_cast<size_t>(std::atol(argv[4])), 'n');
    const bool replaced = tavrin::platform::ReplaceFileAtomically(arg(2), bytes, &error);
    std::fprintf(stderr, "peer: %s\n", error.c_str());
    return !replaced && !error.empty() ? 0 : 1;
  }
  if (command == "replace-as-nobody") {  // path
    if (getuid() == 0 && !BecomeNobody()) return Fail("setuid");
    std::string error;
    const bool replaced = tavrin::platform::ReplaceFileAtomically(arg(2), "new text", &error);
    std::fprintf(stderr, "peer: %s\n", error.c_str());
    return !replaced && !error.empty() ? 0 : 1;
  }
  return 92;
}
