#include "lens/src/v4l2/replay_kernel.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <thread>
#include <tuple>

#include <turbojpeg.h>
#include <opencv2/imgproc.hpp>

#include "lens/src/v4l2/decode.h"
#include "lens/src/v4l2/replay_describe.h"

namespace tavrin::lens::v4l2 {
namespace {

constexpr off_t kOffsetStride = off_t{1} << 24;
constexpr uint32_t kMaxBuffers = 32;

// Bytes left as they come: a buffer takes memory only where frames are
// written into it, as a driver's mapped buffer does, so that a large
// camera's replay does not make the process look larger than it is.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  template <typename U>
  void construct(U* place) noexcept {
    ::new (static_cast<void*>(place)) U;
  }
};
using Storage = std::vector<uint8_t, UninitialisedAllocator<uint8_t>>;

struct Buffer {
  std::shared_ptr<Storage> storage;
  bool queued = false;
  uint32_t bytesUsed = 0;
};

struct OpenFile {
  size_t device = 0;
  uint32_t pixelFormat = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bytesPerLine = 0;
  uint32_t sizeImage = 0;
  std::vector<Buffer> buffers;
  std::deque<uint32_t> queue;
  bool streaming = false;
  size_t frameCursor = 0;
  uint32_t sequence = 0;
  // When the next frame is due: a camera keeps its own pace whatever the
  // reader spends on each frame, and a late reader gets the next at once.
  std::chrono::steady_clock::time_point nextFrame;
};

struct DeviceState {
  bool present = true;
  int framesDelivered = 0;
  std::vector<int64_t> values;  // parallel to the recorded controls
};

uint32_t ImageSize(uint32_t pixelFormat, uint32_t width, uint32_t height, uint32_t& bytesPerLine) {
  switch (pixelFormat) {
    case V4L2_PIX_FMT_YUYV:
      bytesPerLine = width * 2;
      return bytesPerLine * height;
    case V4L2_PIX_FMT_NV12:
      bytesPerLine = width;
      return width * height * 3 / 2;
    default:
      // Compressed: room for the worst frame, as UVC drivers report it.
      bytesPerLine = 0;
      return width * height * 2;
  }
}

// A recorded frame as a BGR picture; empty when it does not decode.
cv::Mat DecodeFrame(uint32_t pixelFormat, const RecordedFrame& frame) {
  FrameDecoder decoder;
  cv::Mat bgr;
  decoder.Decode(pixelFormat, reinterpret_cast<const uint8_t*>(frame.bytes.data()),
                 frame.bytes.size(), frame.width, frame.height, 0, bgr);
  return bgr;
}

// The picture in the camera's format; empty when that cannot be done.
std::string EncodeFrame(uint32_t pixelFormat, const cv::Mat& bgr) {
  switch (pixelFormat) {
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG: {
      tjhandle handle = tjInitCompress();
      if (handle == nullptr) return {};
      unsigned char* data = nullptr;
      unsigned long size = 0;
      const bool done = tjCompress2(handle, bgr.data, bgr.cols, static_cast<int>(bgr.step),
                                    bgr.rows, TJPF_BGR, &data, &size, TJSAMP_422, 85, 0) == 0;
      std::string bytes = done ? std::string(reinterpret_cast<char*>(data), size) : std::string();
      tjFree(data);
      tjDestroy(handle);
      return bytes;
    }
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_NV12: {
      // Planar 4:2:0 from OpenCV; YUYV takes each chroma row twice.
      cv::Mat i420;
      cv::cvtColor(bgr, i420, cv::COLOR_BGR2YUV_I420);
      const int width = bgr.cols;
      const int height = bgr.rows;
      const uint8_t* y = i420.ptr<uint8_t>(0);
      const uint8_t* u = y + size_t(width) * height;
      const uint8_t* v = u + size_t(width / 2) * (height / 2);
      std::string out;
      if (pixelFormat == V4L2_PIX_FMT_NV12) {
        out.assign(y, y + size_t(width) * height);
        for (int i = 0; i < width / 2 * (height / 2); ++i) {
          out.push_back(static_cast<char>(u[i]));
          out.push_back(static_cast<char>(v[i]));
        }
        return out;
      }
      out.resize(size_t(width) * height * 2);
      for (int row = 0; row < height; ++row) {
        for (int x = 0; x + 1 < width; x += 2) {
          const size_t at = (size_t(row) * width + x) * 2;
          const size_t chroma = size_t(row / 2) * (width / 2) + x / 2;
          out[at] = static_cast<char>(y[size_t(row) * width + x]);
          out[at + 1] = static_cast<char>(u[chroma]);
          out[at + 2] = static_cast<char>(y[size_t(row) * width + x + 1]);
          out[at + 3] = static_cast<char>(v[chroma]);
        }
      }
      return out;
    }
    default:
      return {};
  }
}

}  // namespace

struct ReplayKernel::State {
  Recording recording;
  std::vector<DeviceState> devices;
  std::map<int, OpenFile> files;
  // Frames by device, format and size; scaled ones live in scaledFrames,
  // whose elements never move.
  std::map<std::tuple<size_t, uint32_t, uint32_t, uint32_t>, std::vector<const RecordedFrame*>>
      framesBySize;
  std::deque<RecordedFrame> scaledFrames;
  std::map<const void*, std::shared_ptr<Storage>> mappings;
  int nextFd = 100;
  int framePeriodMs = -1;
  std::vector<ControlWrite> controlWrites;
  std::string controlLogPath;

  int FindDevice(const std::string& path) const {
    for (size_t i = 0; i < recording.devices.size(); ++i) {
      if (recording.devices[i].path == path) return static_cast<int>(i);
    }
    return -1;
  }

  // Applies the automatic modes that take a control over.
  uint32_t ControlFlags(size_t device, size_t index) const {
    const RecordedControl& control = recording.devices[device].controls[index];
    uint32_t flags = control.flags;
    if (control.masterId != 0) {
      const auto& controls = recording.devices[device].controls;
      for (size_t i = 0; i < controls.size(); ++i) {
        if (controls[i].id == control.masterId && devices[device].values[i] == control.masterValue)
          flags |= V4L2_CTRL_FLAG_INACTIVE;
      }
    }
    return flags;
  }

  const RecordedFormat* Format(size_t device, uint32_t pixelFormat) const {
    for (const RecordedFormat& format : recording.devices[device].formats) {
      if (format.pixelFormat == pixelFormat) return &format;
    }
    return nullptr;
  }

  // The frames recorded at the file's size; at a size the camera offers
  // but nobody recorded, the recorded frames of the format scaled to it,
  // made once: a recording plays at every size it lists, as the camera did.
  const std::vector<const RecordedFrame*>& FramesFor(const OpenFile& file) {
    const auto key = std::make_tuple(file.device, file.pixelFormat, file.width, file.height);
    auto known = framesBySize.find(key);
    if (known != framesBySize.end()) return known->second;
    std::vector<const RecordedFrame*>& frames = framesBySize[key];
    const RecordedFormat* format = Format(file.device, file.pixelFormat);
    if (format == nullptr) return frames;
    for (const RecordedFrame& frame : format->frames) {
      if (frame.width == static_cast<int>(file.width) &&
          frame.height == static_cast<int>(file.height))
        frames.push_back(&frame);
    }
    if (!frames.empty() || file.width == 0 || file.height == 0) return frames;
    for (const RecordedFrame& frame : format->frames) {
      const cv::Mat picture = DecodeFrame(format->pixelFormat, frame);
      if (picture.empty()) continue;
      cv::Mat scaled;
      cv::resize(picture, scaled, cv::Size(int(file.width), int(file.height)), 0, 0,
                 cv::INTER_AREA);
      std::string bytes = EncodeFrame(format->pixelFormat, scaled);
      if (bytes.empty()) continue;
      scaledFrames.push_back(
          {static_cast<int>(file.width), static_cast<int>(file.height), std::move(bytes)});
      frames.push_back(&scaledFrames.back());
    }
    return frames;
  }

  const RecordedFrame* NextFrame(OpenFile& file) {
    const std::vector<const RecordedFrame*>& frames = FramesFor(file);
    if (frames.empty()) return nullptr;
    return frames[file.frameCursor++ % frames.size()];
  }

  bool HasFrames(const OpenFile& file) { return !FramesFor(file).empty(); }

  int PeriodMs(const OpenFile& file) const {
    if (framePeriodMs >= 0) return framePeriodMs;
    const RecordedFormat* format = Format(file.device, file.pixelFormat);
    return format == nullptr ? 33 : 1000 / format->framesPerSecond;
  }

  void SetFormat(OpenFile& file, v4l2_pix_format& pix) {
    const RecordedDevice& device = recording.devices[file.device];
    const RecordedFormat* format = Format(file.device, pix.pixelformat);
    if (format == nullptr) format = &device.formats.front();
    uint32_t width = pix.width;
    uint32_t height = pix.height;
    const RecordedSizes& sizes = format->sizes;
    if (sizes.kind == RecordedSizes::Kind::kDiscrete) {
      // The driver picks the nearest size it has.
      int64_t best = -1;
      for (const auto& [w, h] : sizes.discrete) {
        const int64_t distance =
            std::abs(int64_t{w} - pix.width) + std::abs(int64_t{h} - pix.height);
        if (best < 0 || distance < best) {
          best = distance;
          width = w;
          height = h;
        }
      }
    } else {
      const auto fit = [](int64_t value, int low, int high, int step) {
        value = std::clamp<int64_t>(value, low, high);
        return static_cast<uint32_t>(low + (value - low) / std::max(step, 1) * std::max(step, 1));
      };
      width = fit(pix.width, sizes.minWidth, sizes.maxWidth, sizes.stepWidth);
      height = fit(pix.height, sizes.minHeight, sizes.maxHeight, sizes.stepHeight);
    }
    std::memset(&pix, 0, sizeof(pix));
    pix.pixelformat = format->pixelFormat;
    pix.width = width;
    pix.height = height;
    pix.field = V4L2_FIELD_NONE;
    pix.sizeimage = ImageSize(pix.pixelformat, width, height, pix.bytesperline);
    pix.colorspace = V4L2_COLORSPACE_SRGB;
  }
};

ReplayKernel::ReplayKernel(Recording recording) : state_(std::make_unique<State>()) {
  state_->recording = std::move(recording);
  for (const RecordedDevice& device : state_->recording.devices) {
    DeviceState deviceState;
    deviceState.present = device.presentAtStart;
    for (const RecordedControl& control : device.controls)
      deviceState.values.push_back(control.value);
    state_->devices.push_back(deviceState);
  }
}

ReplayKernel::~ReplayKernel() = default;

std::vector<std::string> ReplayKernel::ListNodes() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> nodes;
  for (size_t i = 0; i < state_->devices.size(); ++i) {
    if (state_->devices[i].present) nodes.push_back(state_->recording.devices[i].path);
  }
  return nodes;
}

int ReplayKernel::Open(const std::string& path) {
  std::lock_guard lock(mutex_);
  const int device = state_->FindDevice(path);
  if (device < 0 || !state_->devices[device].present) return -ENOENT;
  OpenFile file;
  file.device = static_cast<size_t>(device);
  if (!state_->recording.devices[device].formats.empty()) {
    v4l2_pix_format pix{};
    const RecordedFormat& first = state_->recording.devices[device].formats.front();
    pix.pixelformat = first.pixelFormat;
    pix.width = 640;
    pix.height = 480;
    state_->SetFormat(file, pix);
    file.pixelFormat = pix.pixelformat;
    file.width = pix.width;
    file.height = pix.height;
    file.bytesPerLine = pix.bytesperline;
    file.sizeImage = pix.sizeimage;
  }
  const int fd = state_->nextFd++;
  state_->files[fd] = std::move(file);
  return fd;
}

int ReplayKernel::Close(int fd) {
  std::lock_guard lock(mutex_);
  // Mappings outlive the descriptor, as they do in the kernel.
  return state_->files.erase(fd) == 1 ? 0 : -EBADF;
}

int ReplayKernel::Ioctl(int fd, unsigned long request, void* arg) {
  std::lock_guard lock(mutex_);
  if (request != VIDIOC_S_CTRL || arg == nullptr) return Answer(fd, request, arg);
  auto* control = static_cast<v4l2_control*>(arg);
  ControlWrite write;
  write.id = control->id;
  write.asked = control->value;
  write.result = Answer(fd, request, arg);
  write.taken = write.result == 0 ? control->value : 0;
  const auto file = state_->files.find(fd);
  if (file != state_->files.end()) write.path = state_->recording.devices[file->second.device].path;
  state_->controlWrites.push_back(write);
  if (!state_->controlLogPath.empty()) {
    // Opened and closed for each line, so whoever reads the file meanwhile
    // sees every write up to now.
    if (FILE* log = std::fopen(state_->controlLogPath.c_str(), "a")) {
      std::fprintf(log, "%s 0x%08x %d -> %s%d\n", write.path.c_str(), write.id, write.asked,
                   write.result == 0 ? "" : "error ",
                   write.result == 0 ? write.taken : write.result);
      std::fclose(log);
    }
  }
  return write.result;
}

void ReplayKernel::LogControlWrites(const std::string& path) {
  std::lock_guard lock(mutex_);
  state_->controlLogPath = path;
}

std::vector<ReplayKernel::ControlWrite> ReplayKernel::ControlWrites() const {
  std::lock_guard lock(mutex_);
  return state_->controlWrites;
}

int ReplayKernel::Answer(int fd, unsigned long request, void* arg) {
  State& s = *state_;
  const auto found = s.files.find(fd);
  if (found == s.files.end()) return -EBADF;
  if (arg == nullptr) return -EFAULT;
  OpenFile& file = found->second;
  if (!s.devices[file.device].present) return -ENODEV;
  const RecordedDevice& device = s.recording.devices[file.device];
  DeviceState& deviceState = s.devices[file.device];

  const int described = DescribeRecorded(device, request, arg);
  if (described != -ENOTTY) return described;
  switch (request) {
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT: {
      auto* format = static_cast<v4l2_format*>(arg);
      if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || device.formats.empty()) return -EINVAL;
      if (request == VIDIOC_G_FMT) {
        std::memset(&format->fmt.pix, 0, sizeof(format->fmt.pix));
        format->fmt.pix.pixelformat = file.pixelFormat;
        format->fmt.pix.width = file.width;
        format->fmt.pix.height = file.height;
        format->fmt.pix.bytesperline = file.bytesPerLine;
        format->fmt.pix.sizeimage = file.sizeImage;
        format->fmt.pix.field = V4L2_FIELD_NONE;
        return 0;
      }
      if (request == VIDIOC_S_FMT && !file.buffers.empty()) return -EBUSY;
      s.SetFormat(file, format->fmt.pix);
      if (request == VIDIOC_S_FMT) {
        file.pixelFormat = format->fmt.pix.pixelformat;
        file.width = format->fmt.pix.width;
        file.height = format->fmt.pix.height;
        file.bytesPerLine = format->fmt.pix.bytesperline;
        file.sizeImage = format->fmt.pix.sizeimage;
        file.frameCursor = 0;
      }
      return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
      auto* parm = static_cast<v4l2_streamparm*>(arg);
      if (parm->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
      const RecordedFormat* format = s.Format(file.device, file.pixelFormat);
      std::memset(&parm->parm.capture, 0, sizeof(parm->parm.capture));
      parm->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
      parm->parm.capture.timeperframe = {
          1, static_cast<uint32_t>(format ? format->framesPerSecond : 30)};
      return 0;
    }
    case VIDIOC_REQBUFS: {
      auto* request_ = static_cast<v4l2_requestbuffers*>(arg);
      if (request_->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || request_->memory != V4L2_MEMORY_MMAP)
        return -EINVAL;
      if (file.streaming) return -EBUSY;
      for (const Buffer& buffer : file.buffers) {
        // A buffer still mapped cannot be freed.
        if (buffer.storage.use_count() > 1) return -EBUSY;
      }
      file.buffers.clear();
      file.queue.clear();
      const uint32_t count = std::min(request_->count, kMaxBuffers);
      for (uint32_t i = 0; i < count; ++i) {
        Buffer buffer;
        buffer.storage = std::make_shared<Storage>(file.sizeImage);
        file.buffers.push_back(buffer);
      }
      request_->count = count;
      return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
      auto* buffer = static_cast<v4l2_buffer*>(arg);
      if (buffer->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer->memory != V4L2_MEMORY_MMAP)
        return -EINVAL;
      if (request == VIDIOC_DQBUF) {
        if (!file.streaming) return -EINVAL;
        if (file.queue.empty() || !s.HasFrames(file)) return -EAGAIN;
        if (device.unplugAfterFrames >= 0 &&
            deviceState.framesDelivered >= device.unplugAfterFrames) {
          deviceState.present = false;
          return -ENODEV;
        }
        const uint32_t index = file.queue.front();
        file.queue.pop_front();
        Buffer& slot = file.buffers[index];
        const RecordedFrame* frame = s.NextFrame(file);
        const size_t bytes = std::min(frame->bytes.size(), slot.storage->size());
        std::memcpy(slot.storage->data(), frame->bytes.data(), bytes);
        slot.queued = false;
        slot.bytesUsed = static_cast<uint32_t>(bytes);
        ++deviceState.framesDelivered;
        std::memset(buffer, 0, sizeof(*buffer));
        buffer->index = index;
        buffer->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer->memory = V4L2_MEMORY_MMAP;
        buffer->bytesused = slot.bytesUsed;
        buffer->length = static_cast<uint32_t>(slot.storage->size());
        buffer->m.offset = static_cast<uint32_t>(index * kOffsetStride);
        buffer->flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_DONE;
        buffer->field = V4L2_FIELD_NONE;
        buffer->sequence = file.sequence++;
        return 0;
      }
      if (buffer->index >= file.buffers.size()) return -EINVAL;
      Buffer& slot = file.buffers[buffer->index];
      if (request == VIDIOC_QBUF) {
        if (slot.queued) return -EINVAL;
        slot.queued = true;
        file.queue.push_back(buffer->index);
        return 0;
      }
      buffer->length = static_cast<uint32_t>(slot.storage->size());
      buffer->m.offset = static_cast<uint32_t>(buffer->index * kOffsetStride);
      buffer->flags = slot.queued ? V4L2_BUF_FLAG_QUEUED : 0;
      return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
      if (*static_cast<int*>(arg) != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
      if (request == VIDIOC_STREAMON) {
        if (file.buffers.empty()) return -EINVAL;
        file.streaming = true;
      } else {
        file.streaming = false;
        file.queue.clear();
        for (Buffer& buffer : file.buffers) buffer.queued = false;
      }
      return 0;
    }
    case VIDIOC_QUERY_EXT_CTRL: {
      auto* query = static_cast<v4l2_query_ext_ctrl*>(arg);
      const uint32_t flagMask = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
      const bool next = (query->id & V4L2_CTRL_FLAG_NEXT_CTRL) != 0;
      const uint32_t id = query->id & ~flagMask;
      size_t index = device.controls.size();
      for (size_t i = 0; i < device.controls.size(); ++i) {
        if (next ? device.controls[i].id > id : device.controls[i].id == id) {
          index = i;
          break;
        }
      }
      if (index == device.controls.size()) return -EINVAL;
      const RecordedControl& control = device.controls[index];
      std::memset(query, 0, sizeof(*query));
      query->id = control.id;
      query->type = control.type;
      CopyText(query->name, sizeof(query->name), control.name);
      query->minimum = control.minimum;
      query->maximum = control.maximum;
      query->step = control.step;
      query->default_value = control.defaultValue;
      query->flags = s.ControlFlags(file.device, index);
      query->elem_size = 4;
      query->elems = 1;
      return 0;
    }
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL: {
      auto* value = static_cast<v4l2_control*>(arg);
      for (size_t i = 0; i < device.controls.size(); ++i) {
        const RecordedControl& control = device.controls[i];
        if (control.id != value->id) continue;
        const uint32_t flags = s.ControlFlags(file.device, i);
        if (request == VIDIOC_G_CTRL) {
          if (flags & V4L2_CTRL_FLAG_WRITE_ONLY) return -EACCES;
          value->value = static_cast<int32_t>(deviceState.values[i]);
          return 0;
        }
        // uvcvideo refuses a control while an automatic mode owns it.
        if (flags & (V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_INACTIVE)) return -EACCES;
        int64_t wanted = value->value;
        if (control.type == V4L2_CTRL_TYPE_MENU || control.type == V4L2_CTRL_TYPE_INTEGER_MENU) {
          if (wanted < control.minimum || wanted > control.maximum) return -ERANGE;
          const bool listed = control.type == V4L2_CTRL_TYPE_MENU
                                  ? control.menuNames.count(static_cast<uint32_t>(wanted)) == 1
                                  : control.menuValues.count(static_cast<uint32_t>(wanted)) == 1;
          if (!listed) return -EINVAL;
        } else {
          wanted = std::clamp(wanted, control.minimum, control.maximum);
          const int64_t step = static_cast<int64_t>(std::max<uint64_t>(control.step, 1));
          wanted = control.minimum + (wanted - control.minimum + step / 2) / step * step;
          if (wanted > control.maximum) wanted -= step;
        }
        deviceState.values[i] = wanted;
        value->value = static_cast<int32_t>(wanted);
        return 0;
      }
      return -EINVAL;
    }
    default:
      return -ENOTTY;
  }
}

void* ReplayKernel::Mmap(int fd, size_t lengthBytes, off_t offset, int* error) {
  std::lock_guard lock(mutex_);
  const auto setError = [&](int code) {
    if (error != nullptr) *error = code;
    return nullptr;
  };
  const auto found = state_->files.find(fd);
  if (found == state_->files.end()) return setError(EBADF);
  OpenFile& file = found->second;
  if (!state_->devices[file.device].present) return setError(ENODEV);
  if (offset % kOffsetStride != 0) return setError(EINVAL);
  const size_t index = static_cast<size_t>(offset / kOffsetStride);
  if (index >= file.buffers.size() || lengthBytes != file.buffers[index].storage->size())
    return setError(EINVAL);
  void* address = file.buffers[index].storage->data();
  state_->mappings[address] = file.buffers[index].storage;
  return address;
}

int ReplayKernel::Munmap(void* address, size_t) {
  std::lock_guard lock(mutex_);
  return state_->mappings.erase(address) == 1 ? 0 : -EINVAL;
}

int ReplayKernel::WaitReadable(int fd, int timeoutMs) {
  int sleepMs = timeoutMs;
  int result = 0;
  std::chrono::steady_clock::time_point wakeAt;
  {
    std::lock_guard lock(mutex_);
    const auto found = state_->files.find(fd);
    if (found == state_->files.end()) return -EBADF;
    OpenFile& file = found->second;
    // A vanished device reads as ready, so the dequeue reports ENODEV.
    if (!state_->devices[file.device].present) return 1;
    if (file.streaming && !file.queue.empty() && state_->HasFrames(file)) {
      const auto period = std::chrono::milliseconds(state_->PeriodMs(file));
      const auto now = std::chrono::steady_clock::now();
      if (file.nextFrame < now - period) file.nextFrame = now;
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(file.nextFrame - now);
      if (wait.count() <= timeoutMs) {
        wakeAt = file.nextFrame;
        file.nextFrame += period;
        result = 1;
      }
    }
  }
  if (result == 1) {
    std::this_thread::sleep_until(wakeAt);
  } else if (sleepMs > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
  }
  return result;
}

void ReplayKernel::SetFramePeriodMs(int periodMs) {
  std::lock_guard lock(mutex_);
  state_->framePeriodMs = periodMs;
}

void ReplayKernel::Plug(const std::string& path) {
  std::lock_guard lock(mutex_);
  const int device = state_->FindDevice(path);
  if (device >= 0) state_->devices[device].present = true;
}

void ReplayKernel::Unplug(const std::string& path) {
  std::lock_guard lock(mutex_);
  const int device = state_->FindDevice(path);
  if (device >= 0) state_->devices[device].present = false;
}

int ReplayKernel::OpenFileCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(state_->files.size());
}

int ReplayKernel::MappingCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(state_->mappings.size());
}

int ReplayKernel::FramesDelivered(const std::string& path) const {
  std::lock_guard lock(mutex_);
  const int device = state_->FindDevice(path);
  return device < 0 ? 0 : state_->devices[device].framesDelivered;
}

namespace {

class ReplayHotplugSource final : public SignalledHotplugSource {
 public:
  ReplayHotplugSource(std::shared_ptr<ReplayKernel> kernel, std::vector<RecordedEvent> events)
      : kernel_(std::move(kernel)), events_(std::move(events)) {}

  bool Next(int timeoutMs, HotplugEvent& event) override {
    std::unique_lock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!interrupted_) {
      if (woken_) {
        woken_ = false;
        return false;
      }
      if (next_ < events_.size()) {
        const auto due = start_ + std::chrono::milliseconds(events_[next_].atMs);
        if (due <= std::chrono::steady_clock::now()) {
          const RecordedEvent& recorded = events_[next_++];
          if (recorded.action == "add") kernel_->Plug(recorded.path);
          if (recorded.action == "remove") kernel_->Unplug(recorded.path);
          event = {recorded.action, recorded.path};
          return true;
        }
        if (due < deadline) {
          wake_.wait_until(lock, due);
          continue;
        }
      }
      if (wake_.wait_until(lock, deadline) == std::cv_status::timeout && !interrupted_)
        return false;
    }
    return false;
  }

 private:
  std::shared_ptr<ReplayKernel> kernel_;
  std::vector<RecordedEvent> events_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  size_t next_ = 0;
};

}  // namespace

std::unique_ptr<HotplugSource> ReplayKernel::MakeHotplugSource() {
  std::vector<RecordedEvent> events;
  {
    std::lock_guard lock(mutex_);
    events = state_->recording.events;
  }
  return std::make_unique<ReplayHotplugSource>(shared_from_this(), std::move(events));
}

}  // namespace tavrin::lens::v4l2
