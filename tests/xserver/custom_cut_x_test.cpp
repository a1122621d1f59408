// The scan window as a person uses it on a real X server: Xvfb on a free
// display with openbox, tavrin-scan starting TavrinDesk from a private copy
// of the program folder, and xdotool moving the real pointer.
#include <gtest/gtest.h>

#include <QImageReader>
#include <QSize>

#include <signal.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "platform/process.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The scan window's template in dialog units: its client size, the picture
// area and the controls clicked here (centre points).
constexpr double kTemplateWidth = 659;
constexpr double kTemplateHeight = 369;
constexpr double kAreaLeft = 114, kAreaTop = 7, kAreaWidth = 440, kAreaHeight = 297;
constexpr double kCustomCutX = 19, kCustomCutY = 69;  // the box of the check box
constexpr double kCaptureX = 534, kCaptureY = 321;
constexpr double kExitX = 637, kExitY = 347;
// The virtual document camera's first size, which the window opens when no
// LastSetting.xml says otherwise.
constexpr int kFrameWidth = 4912;
constexpr int kFrameHeight = 3680;

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const fs::path candidate = fs::path(folder) / name;
    std::error_code error;
    if (fs::is_regular_file(candidate, error)) return candidate.string();
  }
  return {};
}

// Output of a shell command.
std::string Shell(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    std::array<char, 512> buffer{};
    while (fgets(buffer.data(), buffer.size(), pipe) != nullptr) output += buffer.data();
    pclose(pipe);
  }
  return output;
}

template <class Done>
bool WaitUntil(Done done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

class XServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string xvfb = FindProgram("Xvfb");
    if (xvfb.empty()) GTEST_SKIP() << "no Xvfb";
    ASSERT_FALSE(FindProgram("xdotool").empty()) << "xdotool is missing (scripts/setup)";
    root = fs::temp_directory_path() / ("tavrin-xserver-" + std::to_string(::getpid()));
    fs::remove_all(root);
    for (const char* sub : {"bin", "home", "tmp", "out"}) fs::create_directories(root / sub);
    fs::permissions(root / "tmp", fs::perms::owner_all, fs::perm_options::replace);
    // A private program folder: the window writes LastSetting.xml there.
    const fs::path program(TAVRIN_TEST_PROGRAM_DIR);
    for (const char* file : {"TavrinDesk", "libTavrinLens.so", "TavrinSource.ds", "tavrin-scan"}) {
      fs::copy_file(program / file, root / "bin" / file);
    }
    fs::copy(program / "Language", root / "bin" / "Language", fs::copy_options::recursive);

    for (int number = 60; number < 160 && display.empty(); ++number) {
      const std::string name = ":" + std::to_string(number);
      if (fs::exists("/tmp/.X11-unix/X" + std::to_string(number)) ||
          fs::exists("/tmp/.X" + std::to_string(number) + "-lock")) {
        continue;
      }
      xvfbPid = platform::SpawnProcess(
          xvfb, {name, "-screen", "0", "1920x1080x24", "-nolisten", "tcp"}, {});
      ASSERT_GT(xvfbPid, 0);
      const bool up = WaitUntil(
          [&] {
            return fs::exists("/tmp/.X11-unix/X" + std::to_string(number)) ||
                   !platform::ProcessRunning(xvfbPid);
          },
          10s);
      if (up && platform::ProcessRunning(xvfbPid)) {
        display = name;
      } else {
        platform::KillProcess(xvfbPid);
        xvfbPid = -1;
      }
    }
    ASSERT_FALSE(display.empty()) << "no free display";
    if (const std::string openbox = FindProgram("openbox"); !openbox.empty()) {
      openboxPid = platform::SpawnProcess(openbox, {}, {"DISPLAY=" + display});
      std::this_thread::sleep_for(500ms);
    }
  }

  void TearDown() override {
    for (int* pid : {&scanPid, &openboxPid, &xvfbPid}) {
      if (*pid > 0) {
        // Asked first, so that the X server removes its socket and lock.
        ::kill(*pid, SIGTERM);
        int status = 0;
        if (!platform::WaitProcess(*pid, 5000, &status)) {
          platform::KillProcess(*pid);
          platform::WaitProcess(*pid, 5000, &status);
        }
      }
      *pid = -1;
    }
    std::error_code ignored;
    if (!root.empty()) fs::remove_all(root, ignored);
  }

  void StartScan() {
    const std::string scan = (root / "bin" / "tavrin-scan").string();
    scanPid = platform::SpawnProcess(
        scan, {"--mode", "0", "--output", (root / "out").string(), "--timeout", "120"},
        {"DISPLAY=" + display, "HOME=" + (root / "home").string(),
         "TMPDIR=" + (root / "tmp").string(), "XDG_RUNTIME_DIR=" + (root / "tmp").string(),
         "TAVRIN_LENS_V4L2=0", "TAVRIN_LENS_VIRTUAL=document", "QT_QPA_PLATFORM=xcb"});
    ASSERT_GT(scanPid, 0);
  }

  std::string X(const std::string& arguments) {
    return Shell("DISPLAY=" + display + " xdotool " + arguments + " 2>/dev/null");
  }

  // The scan window and the size of its client area; points are given
  // relative to the client area (the window manager's frame moves it).
  bool FindWindow() {
    return WaitUntil(
        [&] {
          std::istringstream lines(X("search --onlyvisible --name '^TavrinDesk$'"));
          for (std::string id; lines >> id;) {
            std::istringstream shell(X("getwindowgeometry --shell " + id));
            for (std::string line; std::getline(shell, line);) {
              const auto at = line.find('=');
              if (at == std::string::npos) continue;
              const int value = std::atoi(line.c_str() + at + 1);
              const std::string key = line.substr(0, at);
              if (key == "WIDTH") width = value;
              if (key == "HEIGHT") height = value;
            }
            if (width > 600 && height > 300) {
              window = id;
              return true;
            }
          }
          return false;
        },
        30s);
  }

  // A template point (dialog units) on the screen.
  std::string At(double x, double y) const {
    const double px = x * width / kTemplateWidth;
    const double py = y * height / kTemplateHeight;
    return "--window " + window + " " + std::to_string(static_cast<int>(px)) + " " +
           std::to_string(static_cast<int>(py));
  }
  // A point of the live picture, which fits the picture area at the
  // frame's shape, centred, in fractions of the picture.
  std::string OnPicture(double fx, double fy) const {
    const double areaWidth = kAreaWidth * width / kTemplateWidth;
    const double areaHeight = kAreaHeight * height / kTemplateHeight;
    const double scale = std::min(areaWidth / kFrameWidth, areaHeight / kFrameHeight);
    const double pictureLeft =
        kAreaLeft * width / kTemplateWidth + (areaWidth - kFrameWidth * scale) / 2;
    const double pictureTop =
        kAreaTop * height / kTemplateHeight + (areaHeight - kFrameHeight * scale) / 2;
    return "--window " + window + " " +
           std::to_string(static_cast<int>(pictureLeft + fx * kFrameWidth * scale)) + " " +
           std::to_string(static_cast<int>(pictureTop + fy * kFrameHeight * scale));
  }
  // With TAVRIN_TEST_SHOTS naming a folder, the screen at each step.
  void Shot(const std::string& name) {
    const char* folder = std::getenv("TAVRIN_TEST_SHOTS");
    if (folder == nullptr || FindProgram("import").empty()) return;
    Shell("import -display " + display + " -window root " + folder + "/" + name + ".png");
  }
  void Click(const std::string& where) {
    X("mousemove --sync " + where + " click 1");
    std::this_thread::sleep_for(300ms);
  }

  fs::path root;
  std::string display;
  int xvfbPid = -1;
  int openboxPid = -1;
  int scanPid = -1;
  std::string window;
  int width = 0;
  int height = 0;
};

TEST_F(XServerTest, ACustomFrameDrawnByDraggingGivesACaptureOfThatRegion) {
  StartScan();
  ASSERT_TRUE(FindWindow()) << "the scan window did not show";
  std::this_thread::sleep_for(3s);  // the first frames of the large virtual camera

  Shot("x-started");
  Click(At(kCustomCutX, kCustomCutY));
  // A hand's drag from 20 % / 20 % to 60 % / 70 % of the picture.
  X("mousemove --sync " + OnPicture(0.2, 0.2) + " mousedown 1");
  for (const double f : {0.3, 0.45, 0.6}) {
    X("mousemove --sync " + OnPicture(f, 0.2 + (f - 0.2) * 1.25));
    std::this_thread::sleep_for(50ms);
  }
  X("mousemove --sync " + OnPicture(0.6, 0.7) + " mouseup 1");
  std::this_thread::sleep_for(300ms);
  Shot("x-frame-drawn");
  Click(At(kCaptureX, kCaptureY));
  const fs::path work = root / "tmp" / "Tavrin";
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(work, error)) {
          if (entry.path().filename().string().rfind("1_", 0) == 0) return true;
        }
        return false;
      },
      20s))
      << "no capture";
  std::this_thread::sleep_for(500ms);
  Shot("x-captured");
  Click(At(kExitX, kExitY));

  int status = -1;
  ASSERT_TRUE(platform::WaitProcess(scanPid, 60000, &status));
  scanPid = -1;
  EXPECT_EQ(status, 0);
  const fs::path page = root / "out" / "page-001.jpg";
  ASSERT_TRUE(fs::exists(page));
  const QSize size = QImageReader(QString::fromStdString(page.string())).size();
  EXPECT_NEAR(size.width(), 0.4 * kFrameWidth, 0.03 * kFrameWidth);
  EXPECT_NEAR(size.height(), 0.5 * kFrameHeight, 0.03 * kFrameHeight);
}

}  // namespace
}  // namespace tavrin
