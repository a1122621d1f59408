#include "lens/src/v4l2/stream.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>

namespace tavrin::lens::v4l2 {
namespace {

constexpr int kMinimumTimeoutMs = 200;
// An error other than ENODEV this many times in a row ends the stream.
constexpr int kFailuresBeforeGivingUp = 50;

}  // namespace

int CaptureStream::Start(const std::string& path, uint32_t pixelFormat, int width, int height,
                         RawFrameHandler onFrame, StreamLostHandler onLost) {
  Stop();
  fd_ = kernel_->Open(path);
  if (fd_ < 0) {
    const int error = fd_;
    fd_ = -1;
    return error;
  }
  const int result = Prepare(pixelFormat, width, height);
  if (result < 0) {
    Release();
    return result;
  }
  onFrame_ = std::move(onFrame);
  onLost_ = std::move(onLost);
  stopping_ = false;
  thread_ = std::thread([this] { Run(); });
  return 0;
}

int CaptureStream::Prepare(uint32_t pixelFormat, int width, int height) {
  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  format.fmt.pix.pixelformat = pixelFormat;
  format.fmt.pix.width = static_cast<uint32_t>(width);
  format.fmt.pix.height = static_cast<uint32_t>(height);
  format.fmt.pix.field = V4L2_FIELD_NONE;
  int result = kernel_->Ioctl(fd_, VIDIOC_S_FMT, &format);
  if (result < 0) return result;
  if (format.fmt.pix.pixelformat != pixelFormat) return -EINVAL;
  format_ = {};
  format_.pixelFormat = format.fmt.pix.pixelformat;
  format_.width = static_cast<int>(format.fmt.pix.width);
  format_.height = static_cast<int>(format.fmt.pix.height);
  format_.bytesPerLine = static_cast<int>(format.fmt.pix.bytesperline);

  v4l2_streamparm parm{};
  parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (kernel_->Ioctl(fd_, VIDIOC_G_PARM, &parm) == 0 &&
      parm.parm.capture.timeperframe.denominator > 0 &&
      parm.parm.capture.timeperframe.numerator > 0) {
    format_.framePeriodMs =
        std::max<int>(1, static_cast<int>(1000LL * parm.parm.capture.timeperframe.numerator /
                                          parm.parm.capture.timeperframe.denominator));
  }

  v4l2_requestbuffers request{};
  request.count = kStreamBufferCount;
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  result = kernel_->Ioctl(fd_, VIDIOC_REQBUFS, &request);
  if (result < 0) return result;
  if (request.count < 2) return -ENOMEM;
  for (uint32_t index = 0; index < request.count; ++index) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    result = kernel_->Ioctl(fd_, VIDIOC_QUERYBUF, &buffer);
    if (result < 0) return result;
    int error = 0;
    void* address = kernel_->Mmap(fd_, buffer.length, buffer.m.offset, &error);
    if (address == nullptr) return -error;
    mappings_.push_back({address, buffer.length});
    result = kernel_->Ioctl(fd_, VIDIOC_QBUF, &buffer);
    if (result < 0) return result;
  }
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  result = kernel_->Ioctl(fd_, VIDIOC_STREAMON, &type);
  if (result < 0) return result;
  streaming_ = true;
  return 0;
}

void CaptureStream::Release() {
  if (fd_ < 0) return;
  if (streaming_) {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    kernel_->Ioctl(fd_, VIDIOC_STREAMOFF, &type);  // fails harmlessly after an unplug
    streaming_ = false;
  }
  for (const Mapping& mapping : mappings_) kernel_->Munmap(mapping.address, mapping.lengthBytes);
  mappings_.clear();
  v4l2_requestbuffers request{};
  request.count = 0;
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  kernel_->Ioctl(fd_, VIDIOC_REQBUFS, &request);
  kernel_->Close(fd_);
  fd_ = -1;
}

void CaptureStream::Stop() {
  if (thread_.joinable()) {
    stopping_ = true;
    thread_.join();
  }
  Release();
  onFrame_ = nullptr;
  onLost_ = nullptr;
}

void CaptureStream::Run() {
  const int timeoutMs =
      std::max(kMinimumTimeoutMs, kFramePeriodsBeforeTimeout * format_.framePeriodMs);
  int failures = 0;
  int lostError = 0;
  while (!stopping_ && lostError == 0) {
    const int ready = kernel_->WaitReadable(fd_, timeoutMs);
    if (ready < 0) {
      lostError = ready;
      break;
    }
    if (ready == 0) {
      // No frame for a few periods: a camera pulled out may not wake select,
      // so ask it whether it is still there.
      v4l2_capability capability{};
      const int probe = kernel_->Ioctl(fd_, VIDIOC_QUERYCAP, &capability);
      if (probe == -ENODEV) lostError = probe;
      continue;
    }
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    const int result = kernel_->Ioctl(fd_, VIDIOC_DQBUF, &buffer);
    if (result == -EAGAIN) continue;
    if (result == -ENODEV) {
      lostError = result;
      break;
    }
    if (result < 0 || buffer.index >= mappings_.size()) {
      if (++failures >= kFailuresBeforeGivingUp) lostError = result < 0 ? result : -EIO;
      continue;
    }
    failures = 0;
    const Mapping& mapping = mappings_[buffer.index];
    if ((buffer.flags & V4L2_BUF_FLAG_ERROR) == 0 && buffer.bytesused > 0) {
      onFrame_(static_cast<const uint8_t*>(mapping.address),
               std::min<size_t>(buffer.bytesused, mapping.lengthBytes), format_);
    }
    const int requeue = kernel_->Ioctl(fd_, VIDIOC_QBUF, &buffer);
    if (requeue == -ENODEV) lostError = requeue;
  }
  if (lostError != 0 && !stopping_ && onLost_) onLost_(lostError);
}

}  // namespace tavrin::lens::v4l2
