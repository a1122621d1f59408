#include "app/hidden_flatbed.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "mainwindow/camera_calls.h"
#include "mainwindow/message_box.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/parent_process.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/tick_count.h"
#include "recovery/undelivered_pages.h"
#include "settings/scan_settings.h"

namespace tavrin {

namespace {

// What the window does and says, the same here: a client cannot tell the
// two apart but by the time they take.
constexpr int kDefaultRequestDpi = 200;
constexpr int kParentPollMs = 100;
constexpr int kScreenDpi = 96;
constexpr int kDpiItemForUnknownDpi = 2;
constexpr int kCropItems = 5;
constexpr int kRotateItems = 4;

// A list item the window's list does not have leaves it without a choice.
int ItemOrNone(int item, int items) {
  return item >= 0 && item < items ? item : -1;
}

void ShowLinkMessageBox(const std::u16string& text) {
  ShowMessageBox(nullptr, QString::fromStdU16String(text));
}

}  // namespace

HiddenFlatbed::HiddenFlatbed() {
  SetMessageBoxHook(&ShowLinkMessageBox);
  ChannelTimings timings;
  timings.pollIntervalUs = TS_HIDDEN_FLATBED_POLL_US;
  twain.Channel().SetTimings(timings);
}

HiddenFlatbed::~HiddenFlatbed() {
  if (!shutdownDone) Shutdown();
  // The receiver thread calls into this object.
  twain.Channel().Close();
}

bool HiddenFlatbed::Start() {
  if (!library.LoadFromProgramFolder()) return false;
  if (library.camInitCameraLib() != 0) return false;
  libraryInitialised = true;
  int count = 0;
  library.camGetDevCount(&count);
  if (count <= 0) {
    Shutdown();
    return false;
  }

  const std::string tempFolder = platform::PrivateTempFolder();
  if (!tempFolder.empty()) {
    workFolder = recovery::WorkFolder(tempFolder);
    recovery::ResetWorkFolder(tempFolder);
    library.camCreateDirectory(workFolder.c_str());
  }

  LoadLastSettings();
  camera = 0;
  if (g_scanSettings.MediaType < 0) g_scanSettings.MediaType = 0;
  int width = g_scanSettings.DPI.MainWidth;
  int height = g_scanSettings.DPI.MainHeight;
  if (width <= 0 || height <= 0)
    library.camGetResolution(camera, g_scanSettings.MediaType, 0, &width, &height);
  if (OpenCamera(library, camera, g_scanSettings.MediaType, width, height) != 0) {
    Shutdown();
    return false;
  }
  ApplySavedSettings();

  if (twain.Attach(this) == 0) {
    // The window says the same, and ends.
    Shutdown();
    return false;
  }
  return true;
}

void HiddenFlatbed::ApplySavedSettings() {
  const ScanSettings& saved = g_scanSettings;
  library.camSetImageDPI(camera, 0, 0);
  int mediaType = -1;
  int height = 0;
  library.camGetCurResolution(camera, &mediaType, &cameraWidth, &height);
  int dpiY = 0;
  library.camGetImageDPI(camera, &cameraDpi, &dpiY);

  colorItem = ItemOrNone(saved.colorType, 4);
  rotate = ItemOrNone(saved.rotateType, kRotateItems);
  // A hand-drawn crop takes the whole picture and no page is looked for.
  crop = saved.HandCut != 0 ? kTavrinCropNone : saved.cutType;
  const int handCut = saved.HandCut != 0 ? 100 : 0;
  library.camSetImageCusCropRect(camera, 0, 0, handCut, handCut);
  watermark = WaterMarkFromScanSettings(saved.WaterMark);
  watermark.isEnable = saved.WaterMark.isEnable;
  SendWaterMark(library, camera, watermark, watermark.isEnable);
  if (saved.ShowUIUpdataOneByOne == 1) twain.SetSendEachImage(true);
  library.camSetImageAdjust(camera, ColorModeOfItem(colorItem));
  library.camSetImageEvenLight(camera, saved.evenLight);
  library.camSetImageAutoCrop(camera, crop);
  library.camSetImageRotateMode(camera, rotate);
  // The size follows each request's DPI, so it is chosen only then: the
  // camera restarts its stream at most once.
}

void HiddenFlatbed::ApplyDpi(int dpi) {
  const int mediaType = std::max(g_scanSettings.MediaType, 0);
  std::vector<ResolutionEntry> sizes = CameraSizes(library, camera, mediaType);
  if (sizes.empty()) return;
  int current = -1;
  int width = 0;
  int height = 0;
  library.camGetCurResolution(camera, &current, &width, &height);

  if (cameraDpi <= 0 || cameraDpi == kScreenDpi) {
    // Without a DPI of its own the camera stays at the size remembered
    // among the named ones, or else takes the first of them.
    library.camSetImageDPI(camera, 0, 0);
    FilterAndLabel(sizes, MakeNamingTable());
    const bool remembered =
        std::any_of(sizes.begin(), sizes.end(), [](const ResolutionEntry& entry) {
          return entry.width == g_scanSettings.DPI.MainWidth &&
                 entry.height == g_scanSettings.DPI.MainHeight;
        });
    if (!remembered && !sizes.empty())
      library.camSetResolution(camera, sizes[0].width, sizes[0].height);
    return;
  }

  if (std::find(dpiChoices.begin(), dpiChoices.end(), dpi) == dpiChoices.end())
    dpiChoices.push_back(dpi);
  CameraInfo info;
  info.width = cameraWidth;
  info.dpiX = cameraDpi;
  std::vector<ResolutionEntry> offered = BuildDpiList(sizes, dpiChoices, info);
  if (offered.empty()) return;
  std::stable_sort(offered.begin(), offered.end(),
                   [](const auto& a, const auto& b) { return a.dpi < b.dpi; });
  const auto wanted =
      std::find_if(offered.begin(), offered.end(),
                   [dpi](const ResolutionEntry& entry) { return entry.dpi == dpi; });
  const int fallbackDpi =
      dpiChoices[std::min(static_cast<size_t>(kDpiItemForUnknownDpi), dpiChoices.size() - 1)];
  const auto fallback = std::find_if(offered.begin(), offered.end(),
                                     [&](const auto& entry) { return entry.dpi == fallbackDpi; });
  const ResolutionEntry& chosen = wanted != offered.end()     ? *wanted
                                  : fallback != offered.end() ? *fallback
                                                              : offered.back();
  library.camSetImageDPI(camera, chosen.dpi, chosen.dpi);
  if (chosen.width != width || chosen.height != height)
    library.camSetResolution(camera, chosen.width, chosen.height);
}

void HiddenFlatbed::ApplyRequest() {
  const int dpi = twain.m_nDPI;
  g_scanSettings.DPI.ImageDPI = dpi > 0 ? dpi : kDefaultRequestDpi;
  ApplyDpi(g_scanSettings.DPI.ImageDPI);
  colorItem = ItemOrNone(twain.m_nColorType, 4);
  const int evenLight = twain.m_nEvenLight;
  if (evenLight >= 0) g_scanSettings.evenLight = evenLight != 0 ? 1 : 0;
  library.camSetImageAdjust(camera, ColorModeOfItem(colorItem));
  library.camSetImageEvenLight(camera, g_scanSettings.evenLight);
  rotate = ItemOrNone(twain.m_nRotateMode, kRotateItems);
  library.camSetImageRotateMode(camera, rotate);
  const int requestedCrop = twain.m_nCropMode;
  if (requestedCrop >= 0 && requestedCrop < kCropItems) {
    crop = requestedCrop;
    library.camSetImageAutoCrop(camera, crop);
  }
  ApplySearchArea();
}

void HiddenFlatbed::ApplySearchArea() {
  int area[4];
  for (int i = 0; i < 4; ++i) area[i] = twain.m_nSearchArea[i];
  SendSearchArea(library, camera, area);
}

void HiddenFlatbed::Capture() {
  if (ended) return;
  QTimer::singleShot(0, this, [] { platform::ReturnFreedMemory(); });
  if (watermark.isEnable && watermark.isAddTimeStamp)
    SendWaterMark(library, camera, watermark, true);
  const std::int32_t number = nameNumbers.Next(platform::TickCount());
  CapturePathBuffer path{};
  // The page goes only to the scanner backend, which reads it at once and
  // hands the frontend rows for a file of the frontend's own format: an
  // uncompressed file costs the window no encoding and the backend no
  // decoding (about a tenth of a second of a 300 dpi colour page), and
  // loses nothing to JPEG. The saved file format is the scan window's.
  if (!FormatCapturePath(path, workFolder, "1_", number, kFormatBmp)) {
    ShowMessageBox(nullptr, QString::fromUtf8(kCaptureFailedText));
    return;
  }
  const int result = CaptureWithRetry(path.data());
  if (ended || result != 0) return;
  std::vector<std::string> pages = {path.data()};
  if (crop == kTavrinCropMultiplePages || crop == kTavrinCropBook) {
    // The library rewrote the buffer to "a;b;c"; it promised a terminator.
    path.back() = '\0';
    pages = platform::SplitAt(path.data(), ';');
  }
  for (const std::string& page : pages) twain.HandOff(platform::Utf8ToUtf16(page));
}

int HiddenFlatbed::CaptureWithRetry(char* path) {
  const int result = CaptureFile(library, camera, path, /*tryAgain=*/true);
  if (result == kTavrinLensNoFrame)
    std::fprintf(stderr, "TavrinDesk: %s\n", NoPictureText(library, camera).c_str());
  if (result != 0) {
    ShowMessageBox(nullptr, QString::fromUtf8(kCaptureFailedText));
    End();
  }
  return result;
}

int HiddenFlatbed::Idle() {
  return 1;
}

int HiddenFlatbed::ShowTwainWindow(int /*command*/) {
  // There is nothing to show; the client that asked for this window
  // never asks.
  return 1;
}

int HiddenFlatbed::CaptureImage() {
  return calls.Run(
      [this] {
        Capture();
        return 1;
      },
      1);
}

int HiddenFlatbed::LockMerge(int /*locked*/) {
  return 1;
}

int HiddenFlatbed::CloseTwainWindow() {
  return calls.Run(
      [this] {
        End();
        return 1;
      },
      1);
}

int HiddenFlatbed::ApplyShowModel() {
  twain.ReadShowModel();
  return calls.Run(
      [this] {
        if (twain.m_nShowMode != kShowModeCaptureSend || twain.m_nAutoCapture > 0) {
          // Only the whole window can serve this; the client hears that the
          // scan has ended.
          std::fprintf(stderr,
                       "TavrinDesk: started for single pages without the person, it cannot serve "
                       "a request in show mode %d%s; closing.\n",
                       twain.m_nShowMode.load(),
                       twain.m_nAutoCapture > 0 ? " with an automatic run" : "");
          End();
          return 1;
        }
        ApplyRequest();
        return 1;
      },
      1);
}

void HiddenFlatbed::End() {
  ended = true;
  // After the call that asked for it has returned: closing waits for the
  // receiver thread's calls.
  QMetaObject::invokeMethod(
      qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void HiddenFlatbed::Run() {
  // The data source's process gone without a word (killed, crashed):
  // nothing would ever close this window otherwise.
  QTimer parentWatch;
  if (twain.Channel().IsReceiving()) {
    const int parent = platform::ParentProcessId();
    QObject::connect(&parentWatch, &QTimer::timeout, this, [this, parent, &parentWatch] {
      if (platform::ParentProcessId() == parent) return;
      parentWatch.stop();
      dataSourceGone = true;
      twain.Channel().MarkPeerGone();
      std::fprintf(stderr,
                   "TavrinDesk: the program that asked for the scan has ended; closing. Pages "
                   "captured and not delivered are kept for its next run.\n");
      End();
    });
    parentWatch.start(kParentPollMs);
  }
  if (!ended) QCoreApplication::exec();
  parentWatch.stop();
  Shutdown();
}

void HiddenFlatbed::Shutdown() {
  shutdownDone = true;
  calls.Close();
  if (!dataSourceGone && twain.IsAttached()) twain.Finish();
  if (!calls.InCall()) twain.Channel().Close();
  if (libraryInitialised) {
    library.camUnInitCameraLib();
    libraryInitialised = false;
  }
  library.UnloadModule();
}

}  // namespace tavrin
