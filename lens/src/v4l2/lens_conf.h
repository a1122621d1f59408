// TavrinLens.conf beside the library: per camera name, the width of the
// field of view in millimetres (which gives the camera's own DPI) and the
// control values the user set last, restored when the camera opens.
//
//   [Tavrin DocCam 8MP]
//   FieldOfViewMm=380
//   0x00980900=12      (a control id and its value)
//
// Threads: a LensConf is guarded by its owner; the file is replaced
// atomically, so a reader never sees half of it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tavrin::lens::v4l2 {

inline constexpr int kDefaultOwnDpi = 96;

struct CameraConf {
  double fieldOfViewMm = 0;  // 0: not given
  std::map<uint32_t, int> controls;
};

class LensConf {
 public:
  // A missing file is an empty configuration. Lines that cannot be read are
  // skipped and named in warning, and kept as they were when saving.
  bool Parse(const std::string& text, std::string* warning = nullptr);
  std::string Text() const;

  bool Load(const std::string& path, std::string* warning = nullptr);
  bool Save(const std::string& path, std::string* error = nullptr) const;

  CameraConf Camera(const std::string& name) const;
  void SetControl(const std::string& name, uint32_t id, int value);

 private:
  struct Section {
    std::string name;
    CameraConf conf;
    std::vector<std::string> otherLines;
  };
  Section& FindOrAdd(const std::string& name);

  std::vector<Section> sections_;
};

// "<folder of libTavrinLens.so>/TavrinLens.conf", or the same name in the
// user's configuration folder when the library's folder is not writable
// (platform::ConfigurationFolder); empty when neither can be had.
std::string LensConfPath();

// 96 without a field of view, else the pixels across it per inch.
int OwnDpi(double fieldOfViewMm, int widthPixels);

}  // namespace tavrin::lens::v4l2
