// A recording of what the kernel answered for a set of cameras: identity,
// formats and sizes, controls with menus, frames, and a script of faults and
// hot-plug events. It is a text file, one statement a line, so a recording
// can be written by hand or taken from a real camera; frames are separate
// files beside it.
//
//   device /dev/video0
//     driver uvcvideo
//     card Tavrin DocCam 8MP
//     bus usb-0000:00:14.0-2
//     capabilities 0x84a00001
//     device_caps 0x04200001
//     absent                        (not plugged in until an add event)
//     unplug_after 5                (the sixth dequeue fails with ENODEV)
//     format MJPG compressed Motion-JPEG
//       discrete 640x480 1920x1080
//       stepwise 160x120 2592x1944 16x8
//       continuous 160x120 1280x720
//       fps 15
//       frame 640x480 doccam_640x480.mjpg
//     control 0x00980900 integer -64 64 1 0 0 Brightness
//       flags inactive
//       inactive_while 0x0098090c 1
//       menu 0 Disabled
//   event 0 add /dev/video2
//
// Threads: parsed once, then read only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tavrin::lens::v4l2 {

struct RecordedSizes {
  enum class Kind { kDiscrete, kStepwise, kContinuous };
  Kind kind = Kind::kDiscrete;
  std::vector<std::pair<int, int>> discrete;  // width, height
  int minWidth = 0;
  int minHeight = 0;
  int maxWidth = 0;
  int maxHeight = 0;
  int stepWidth = 1;
  int stepHeight = 1;
};

struct RecordedFrame {
  int width = 0;
  int height = 0;
  std::string bytes;
};

struct RecordedFormat {
  uint32_t pixelFormat = 0;
  uint32_t flags = 0;
  std::string description;
  RecordedSizes sizes;
  int framesPerSecond = 30;
  std::vector<RecordedFrame> frames;
};

struct RecordedControl {
  uint32_t id = 0;
  uint32_t type = 0;
  std::string name;
  int64_t minimum = 0;
  int64_t maximum = 0;
  uint64_t step = 1;
  int64_t defaultValue = 0;
  int64_t value = 0;
  uint32_t flags = 0;
  // Inactive while the control masterId holds masterValue (an automatic
  // mode that takes over this control).
  uint32_t masterId = 0;
  int64_t masterValue = 0;
  std::map<uint32_t, std::string> menuNames;  // index -> name (menus)
  std::map<uint32_t, int64_t> menuValues;     // index -> value (integer menus)
};

struct RecordedDevice {
  std::string path;
  std::string driver;
  std::string card;
  std::string busInfo;
  uint32_t capabilities = 0;
  uint32_t deviceCaps = 0;
  bool presentAtStart = true;
  int unplugAfterFrames = -1;  // -1: never
  std::vector<RecordedFormat> formats;
  std::vector<RecordedControl> controls;  // ordered by id
};

struct RecordedEvent {
  int atMs = 0;
  std::string action;  // "add", "remove", "change"
  std::string path;
};

struct Recording {
  std::vector<RecordedDevice> devices;
  std::vector<RecordedEvent> events;
};

// Parses the text of a recording; frame files are read from folder. False
// with error naming the line on a malformed recording.
bool ParseRecording(const std::string& text, const std::string& folder, Recording& recording,
                    std::string& error);
bool LoadRecording(const std::string& path, Recording& recording, std::string& error);

// "MJPG" -> V4L2 pixel format code; 0 for a text that is not four characters.
uint32_t FourccFromText(const std::string& text);
// The four characters, trailing spaces dropped ("Y16 " -> "Y16").
std::string FourccToText(uint32_t pixelFormat);

}  // namespace tavrin::lens::v4l2
