#include "lens/src/v4l2/recording.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <sstream>

#include "platform/files.h"

namespace tavrin::lens::v4l2 {
namespace {

struct ControlTypeName {
  const char* name;
  uint32_t type;
};

constexpr ControlTypeName kControlTypes[] = {
    {"integer", V4L2_CTRL_TYPE_INTEGER},  {"boolean", V4L2_CTRL_TYPE_BOOLEAN},
    {"menu", V4L2_CTRL_TYPE_MENU},        {"integer_menu", V4L2_CTRL_TYPE_INTEGER_MENU},
    {"button", V4L2_CTRL_TYPE_BUTTON},    {"integer64", V4L2_CTRL_TYPE_INTEGER64},
    {"class", V4L2_CTRL_TYPE_CTRL_CLASS}, {"string", V4L2_CTRL_TYPE_STRING},
    {"bitmask", V4L2_CTRL_TYPE_BITMASK},
};

struct FlagName {
  const char* name;
  uint32_t flag;
};

constexpr FlagName kControlFlags[] = {
    {"disabled", V4L2_CTRL_FLAG_DISABLED},     {"grabbed", V4L2_CTRL_FLAG_GRABBED},
    {"read_only", V4L2_CTRL_FLAG_READ_ONLY},   {"update", V4L2_CTRL_FLAG_UPDATE},
    {"inactive", V4L2_CTRL_FLAG_INACTIVE},     {"slider", V4L2_CTRL_FLAG_SLIDER},
    {"write_only", V4L2_CTRL_FLAG_WRITE_ONLY}, {"volatile", V4L2_CTRL_FLAG_VOLATILE},
};

template <typename T>
bool ParseNumber(const std::string& text, T& value) {
  int base = 10;
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && digits.front() == '-') {
    negative = true;
    digits.remove_prefix(1);
  }
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  if (digits.empty()) return false;
  uint64_t magnitude = 0;
  const auto [end, status] =
      std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
  if (status != std::errc() || end != digits.data() + digits.size()) return false;
  if constexpr (std::is_signed_v<T>) {
    if (magnitude > static_cast<uint64_t>(std::numeric_limits<T>::max()) + (negative ? 1 : 0))
      return false;
    value = negative ? static_cast<T>(-static_cast<int64_t>(magnitude)) : static_cast<T>(magnitude);
  } else {
    if (negative || magnitude > std::numeric_limits<T>::max()) return false;
    value = static_cast<T>(magnitude);
  }
  return true;
}

bool ParseSize(const std::string& text, int& width, int& height) {
  const size_t cross = text.find('x');
  if (cross == std::string::npos) return false;
  return ParseNumber(text.substr(0, cross), width) && ParseNumber(text.substr(cross + 1), height) &&
         width > 0 && height > 0;
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream stream(line);
  std::string word;
  while (stream >> word) words.push_back(word);
  return words;
}

// The text after the first count words, for names that hold spaces.
std::string RestAfterWords(const std::string& line, size_t count) {
  size_t position = 0;
  for (size_t i = 0; i < count; ++i) {
    position = line.find_first_not_of(" \t", position);
    if (position == std::string::npos) return {};
    position = line.find_first_of(" \t", position);
    if (position == std::string::npos) return {};
  }
  position = line.find_first_not_of(" \t", position);
  if (position == std::string::npos) return {};
  std::string rest = line.substr(position);
  while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t' || rest.back() == '\r'))
    rest.pop_back();
  return rest;
}

class Parser {
 public:
  Parser(const std::string& folder, Recording& recording)
      : folder_(folder), recording_(recording) {}

  bool Line(const std::string& rawLine, std::string& error) {
    std::string line = rawLine;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    const std::vector<std::string> words = SplitWords(line);
    if (words.empty()) return true;
    const std::string& keyword = words[0];
    error.clear();
    if (keyword == "device") return Device(words, error);
    if (keyword == "event") return Event(words, error);
    if (device_ == nullptr) return Fail(error, "'" + keyword + "' before any device");
    if (keyword == "driver") return Text(line, 1, device_->driver, error);
    if (keyword == "card") return Text(line, 1, device_->card, error);
    if (keyword == "bus") return Text(line, 1, device_->busInfo, error);
    if (keyword == "capabilities") return Number(words, device_->capabilities, error);
    if (keyword == "device_caps") return Number(words, device_->deviceCaps, error);
    if (keyword == "absent") {
      device_->presentAtStart = false;
      return true;
    }
    if (keyword == "unplug_after") return Number(words, device_->unplugAfterFrames, error);
    if (keyword == "format") return Format(line, words, error);
    if (keyword == "discrete" || keyword == "stepwise" || keyword == "continuous")
      return Sizes(words, error);
    if (keyword == "fps") {
      if (format_ == nullptr) return Fail(error, "fps outside a format");
      return Number(words, format_->framesPerSecond, error) &&
             (format_->framesPerSecond > 0 || Fail(error, "fps must be positive"));
    }
    if (keyword == "frame") return Frame(line, words, error);
    if (keyword == "control") return Control(line, words, error);
    if (keyword == "flags") return Flags(words, error);
    if (keyword == "inactive_while") return InactiveWhile(words, error);
    if (keyword == "menu") return Menu(line, words, error);
    return Fail(error, "unknown statement '" + keyword + "'");
  }

  bool Finish(std::string& error) {
    for (RecordedDevice& device : recording_.devices) {
      std::sort(device.controls.begin(), device.controls.end(),
                [](const RecordedControl& a, const RecordedControl& b) { return a.id < b.id; });
      for (size_t i = 1; i < device.controls.size(); ++i) {
        if (device.controls[i].id == device.controls[i - 1].id)
          return Fail(error, device.path + ": control listed twice");
      }
    }
    return true;
  }

 private:
  static bool Fail(std::string& error, const std::string& text) {
    error = text;
    return false;
  }

  template <typename T>
  static bool Number(const std::vector<std::string>& words, T& value, std::string& error) {
    if (words.size() != 2 || !ParseNumber(words[1], value))
      return Fail(error, words[0] + " needs one number");
    return true;
  }

  static bool Text(const std::string& line, size_t skip, std::string& value, std::string& error) {
    value = RestAfterWords(line, skip);
    return !value.empty() || Fail(error, "missing text");
  }

  bool Device(const std::vector<std::string>& words, std::string& error) {
    if (words.size() != 2) return Fail(error, "device needs a node path");
    for (const RecordedDevice& other : recording_.devices) {
      if (other.path == words[1]) return Fail(error, "device " + words[1] + " recorded twice");
    }
    recording_.devices.emplace_back();
    device_ = &recording_.devices.back();
    device_->path = words[1];
    format_ = nullptr;
    control_ = nullptr;
    return true;
  }

  bool Event(const std::vector<std::string>& words, std::string& error) {
    RecordedEvent event;
    if (words.size() != 4 || !ParseNumber(words[1], event.atMs) || event.atMs < 0)
      return Fail(error, "event needs a time in ms, an action and a node");
    event.action = words[2];
    event.path = words[3];
    if (event.action != "add" && event.action != "remove" && event.action != "change")
      return Fail(error, "event action must be add, remove or change");
    if (!recording_.events.empty() && recording_.events.back().atMs > event.atMs)
      return Fail(error, "events must be in time order");
    recording_.events.push_back(event);
    return true;
  }

  bool Format(const std::string& line, const std::vector<std::string>& words, std::string& error) {
    if (words.size() < 2) return Fail(error, "format needs a four-character code");
    RecordedFormat format;
    format.pixelFormat = FourccFromText(words[1]);
    if (format.pixelFormat == 0) return Fail(error, "bad four-character code '" + words[1] + "'");
    size_t skip = 2;
    if (words.size() > 2 && words[2] == "compressed") {
      format.flags |= V4L2_FMT_FLAG_COMPRESSED;
      skip = 3;
    }
    format.description = RestAfterWords(line, skip);
    device_->formats.push_back(format);
    format_ = &device_->formats.back();
    control_ = nullptr;
    return true;
  }

  bool Sizes(const std::vector<std::string>& words, std::string& error) {
    if (format_ == nullptr) return Fail(error, words[0] + " outside a format");
    RecordedSizes& sizes = format_->sizes;
    if (words[0] == "discrete") {
      if (sizes.kind != RecordedSizes::Kind::kDiscrete)
        return Fail(error, "a format has either discrete sizes or one range");
      for (size_t i = 1; i < words.size(); ++i) {
        int width = 0;
        int height = 0;
        if (!ParseSize(words[i], width, height)) return Fail(error, "bad size '" + words[i] + "'");
        sizes.discrete.emplace_back(width, height);
      }
      return words.size() > 1 || Fail(error, "discrete needs sizes");
    }
    if (!sizes.discrete.empty())
      return Fail(error, "a format has either discrete sizes or one range");
    const bool stepwise = words[0] == "stepwise";
    if (words.size() != (stepwise ? 4u : 3u) ||
        !ParseSize(words[1], sizes.minWidth, sizes.minHeight) ||
        !ParseSize(words[2], sizes.maxWidth, sizes.maxHeight) ||
        (stepwise && !ParseSize(words[3], sizes.stepWidth, sizes.stepHeight)))
      return Fail(error, words[0] + " needs minimum, maximum" + (stepwise ? " and step" : ""));
    if (sizes.minWidth > sizes.maxWidth || sizes.minHeight > sizes.maxHeight)
      return Fail(error, "range minimum above maximum");
    sizes.kind = stepwise ? RecordedSizes::Kind::kStepwise : RecordedSizes::Kind::kContinuous;
    return true;
  }

  bool Frame(const std::string& line, const std::vector<std::string>& words, std::string& error) {
    if (format_ == nullptr) return Fail(error, "frame outside a format");
    RecordedFrame frame;
    if (words.size() < 3 || !ParseSize(words[1], frame.width, frame.height))
      return Fail(error, "frame needs a size and a file");
    const std::string file = RestAfterWords(line, 2);
    const std::string path = folder_.empty() ? file : folder_ + "/" + file;
    if (!platform::ReadWholeFile(path, frame.bytes)) return Fail(error, "cannot read " + path);
    format_->frames.push_back(std::move(frame));
    return true;
  }

  bool Control(const std::string& line, const std::vector<std::string>& words, std::string& error) {
    RecordedControl control;
    bool typeKnown = false;
    if (words.size() >= 3) {
      for (const ControlTypeName& type : kControlTypes) {
        if (words[2] == type.name) {
          control.type = type.type;
          typeKnown = true;
        }
      }
    }
    if (words.size() < 9 || !ParseNumber(words[1], control.id) || !typeKnown ||
        !ParseNumber(words[3], control.minimum) || !ParseNumber(words[4], control.maximum) ||
        !ParseNumber(words[5], control.step) || !ParseNumber(words[6], control.defaultValue) ||
        !ParseNumber(words[7], control.value))
      return Fail(error, "control needs id, type, minimum, maximum, step, default, value, name");
    control.name = RestAfterWords(line, 8);
    if (control.minimum > control.maximum) return Fail(error, "control minimum above maximum");
    device_->controls.push_back(control);
    control_ = &device_->controls.back();
    format_ = nullptr;
    return true;
  }

  bool Flags(const std::vector<std::string>& words, std::string& error) {
    if (control_ == nullptr) return Fail(error, "flags outside a control");
    for (size_t i = 1; i < words.size(); ++i) {
      bool known = false;
      for (const FlagName& flag : kControlFlags) {
        if (words[i] == flag.name) {
          control_->flags |= flag.flag;
          known = true;
        }
      }
      if (!known) return Fail(error, "unknown control flag '" + words[i] + "'");
    }
    return true;
  }

  bool InactiveWhile(const std::vector<std::string>& words, std::string& error) {
    if (control_ == nullptr) return Fail(error, "inactive_while outside a control");
    if (words.size() != 3 || !ParseNumber(words[1], control_->masterId) ||
        !ParseNumber(words[2], control_->masterValue))
      return Fail(error, "inactive_while needs a control id and a value");
    return true;
  }

  bool Menu(const std::string& line, const std::vector<std::string>& words, std::string& error) {
    if (control_ == nullptr ||
        (control_->type != V4L2_CTRL_TYPE_MENU && control_->type != V4L2_CTRL_TYPE_INTEGER_MENU))
      return Fail(error, "menu outside a menu control");
    uint32_t index = 0;
    if (words.size() < 3 || !ParseNumber(words[1], index))
      return Fail(error, "menu needs an index and a name");
    if (control_->type == V4L2_CTRL_TYPE_INTEGER_MENU) {
      int64_t value = 0;
      if (words.size() != 3 || !ParseNumber(words[2], value))
        return Fail(error, "integer menu entry needs a number");
      control_->menuValues[index] = value;
    } else {
      control_->menuNames[index] = RestAfterWords(line, 2);
    }
    return true;
  }

  std::string folder_;
  Recording& recording_;
  RecordedDevice* device_ = nullptr;
  RecordedFormat* format_ = nullptr;
  RecordedControl* control_ = nullptr;
};

}  // namespace

uint32_t FourccFromText(const std::string& text) {
  if (text.empty() || text.size() > 4) return 0;
  std::string padded = text;
  padded.resize(4, ' ');
  return v4l2_fourcc(padded[0], padded[1], padded[2], padded[3]);
}

std::string FourccToText(uint32_t pixelFormat) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((pixelFormat >> (8 * i)) & 0xff);
    text.push_back(c >= 0x20 && c < 0x7f ? c : '?');
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool ParseRecording(const std::string& text, const std::string& folder, Recording& recording,
                    std::string& error) {
  recording = {};
  Parser parser(folder, recording);
  std::istringstream stream(text);
  std::string line;
  int lineNumber = 0;
  while (std::getline(stream, line)) {
    ++lineNumber;
    if (!parser.Line(line, error)) {
      error = "line " + std::to_string(lineNumber) + ": " + error;
      recording = {};
      return false;
    }
  }
  if (!parser.Finish(error)) {
    recording = {};
    return false;
  }
  return true;
}

bool LoadRecording(const std::string& path, Recording& recording, std::string& error) {
  std::string text;
  if (!platform::ReadWholeFile(path, text)) {
    error = "cannot read " + path;
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
  if (!ParseRecording(text, folder, recording, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

}  // namespace tavrin::lens::v4l2
