// The real kernel behind the V4L2 back-end, on whatever this machine has:
// errors come back as -errno, the wait times out and wakes as select does,
// and discovery over the real /dev lists only capture devices (none on a
// machine without a camera) without failing.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "lens/src/v4l2/discovery.h"
#include "lens/src/v4l2/kernel.h"
#include "replay_support.h"

namespace tavrin::lens::v4l2 {
namespace {

TEST(SystemKernelTest, ErrorsComeBackAsNegativeErrno) {
  const std::shared_ptr<Kernel> kernel = MakeSystemKernel();
  EXPECT_EQ(kernel->Open("/dev/no-such-video-node"), -ENOENT);
  const int fd = kernel->Open("/dev/null");
  ASSERT_GE(fd, 0);
  v4l2_capability capability{};
  EXPECT_EQ(kernel->Ioctl(fd, VIDIOC_QUERYCAP, &capability), -ENOTTY);
  int error = 0;
  EXPECT_EQ(kernel->Mmap(fd, 4096, 0, &error), nullptr);
  EXPECT_NE(error, 0);
  EXPECT_EQ(kernel->Close(fd), 0);
  EXPECT_EQ(kernel->Close(fd), -EBADF);
  EXPECT_EQ(kernel->WaitReadable(-1, 10), -EBADF);
}

TEST(SystemKernelTest, WaitTimesOutAndWakesWhenThereIsSomethingToRead) {
  const std::shared_ptr<Kernel> kernel = MakeSystemKernel();
  int ends[2] = {-1, -1};
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(kernel->WaitReadable(ends[0], 50), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(40));
  ASSERT_EQ(::write(ends[1], "x", 1), 1);
  EXPECT_EQ(kernel->WaitReadable(ends[0], 5000), 1);
  ::close(ends[0]);
  ::close(ends[1]);
}

TEST(SystemKernelTest, DiscoveryOverTheRealDevicesListsOnlyCameras) {
  const std::shared_ptr<Kernel> kernel = MakeSystemKernel();
  for (const std::string& node : kernel->ListNodes())
    EXPECT_EQ(node.rfind("/dev/video", 0), 0u) << node;
  for (const CameraNode& camera : DiscoverCameras(*kernel)) {
    EXPECT_EQ(camera.path.rfind("/dev/video", 0), 0u) << camera.path;
    EXPECT_FALSE(camera.name.empty());
    EXPECT_FALSE(camera.formats.empty()) << camera.path;
  }
}

}  // namespace
}  // namespace tavrin::lens::v4l2
