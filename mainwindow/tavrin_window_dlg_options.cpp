// The option controls and preview commands.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <utility>

#include "dialogs/water_mark_dlg.h"

#include "mainwindow/camera_calls.h"
#include "mainwindow/message_box.h"
#include "mainwindow/scan_window_template.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "platform/text.h"
#include "settings/scan_settings.h"
#include "settings/ui_text_table.h"

namespace tavrin {

namespace {

constexpr int kUnitResolution = 0;
constexpr int kUnitDpi = 1;
constexpr int kDpiItemForUnknownDpi = 2;

QString Q(const std::u16string& text) {
  return QString::fromStdU16String(text);
}

}  // namespace

void CTavrinWindowDlg::ConnectHandlers() {
  connect(deviceCombo, &QComboBox::activated, this, &CTavrinWindowDlg::OnDeviceChange);
  connect(mediaTypeCombo, &QComboBox::activated, this, &CTavrinWindowDlg::OnMediaTypeChange);
  connect(resolutionCombo, &QComboBox::activated, this, &CTavrinWindowDlg::OnResolutionChange);
  connect(unitCombo, &QComboBox::activated, this, &CTavrinWindowDlg::OnUnitChange);
  connect(colorCombo, &QComboBox::activated, this, &CTavrinWindowDlg::OnColorChange);
  connect(cropCombo, &QComboBox::activated, this, &CTavrinWindowDlg::OnCropChange);
  connect(handCutCheck, &QCheckBox::clicked, this, &CTavrinWindowDlg::OnHandCutCheck);
  connect(evenLightCheck, &QCheckBox::clicked, this, &CTavrinWindowDlg::OnEvenLightCheck);
  connect(rotateCombo, &QComboBox::activated, this, &CTavrinWindowDlg::OnRotateChange);
  connect(languageCombo, &QComboBox::activated, this, &CTavrinWindowDlg::OnLanguageChange);
  const auto button = [this](int id) { return controls.Get<QPushButton>(id); };
  // The preview commands act on the current camera as the library sees it.
  const auto command = [this](int id, int (CameraLibrary::*call)(int)) {
    connect(controls.Get<QPushButton>(id), &QPushButton::clicked, this,
            [this, call] { (library.*call)(currentCamera); });
  };
  command(kIdZoomInButton, &CameraLibrary::camZooIn);
  command(kIdZoomOutButton, &CameraLibrary::camZoomOut);
  command(kIdOriginalSizeButton, &CameraLibrary::camOriginalPreview);
  command(kIdBestFitButton, &CameraLibrary::camOptimalPreview);
  command(kIdDeviceSettingsButton, &CameraLibrary::camShowDevSettingWindow);
  command(kIdImageSettingsButton, &CameraLibrary::camShowImageSettingWindow);
  connect(button(kIdSaveButton), &QPushButton::clicked, this, &CTavrinWindowDlg::OnSave);
  connect(button(kIdExitButton), &QPushButton::clicked, this, &CTavrinWindowDlg::OnExit);
  connect(button(kIdCaptureButton), &QPushButton::clicked, this, &CTavrinWindowDlg::OnCapture);

  connect(mergeCheck, &QCheckBox::clicked, this, &CTavrinWindowDlg::OnMergeCheck);
  connect(horizontalRadio, &QRadioButton::clicked, this, &CTavrinWindowDlg::OnHorizontal);
  connect(verticalRadio, &QRadioButton::clicked, this, &CTavrinWindowDlg::OnVertical);
  connect(watermarkCheck, &QCheckBox::clicked, this, &CTavrinWindowDlg::OnWaterMarkCheck);
  connect(button(kIdWatermarkSettingsButton), &QPushButton::clicked, this,
          &CTavrinWindowDlg::OnWaterMarkSettings);
  connect(webcamCheck, &QCheckBox::clicked, this, &CTavrinWindowDlg::OnWebcamCheck);
  connect(webcamDeviceCombo, &QComboBox::activated, this, &CTavrinWindowDlg::OnWebcamDeviceChange);
  connect(webcamResolutionCombo, &QComboBox::activated, this,
          &CTavrinWindowDlg::OnWebcamResolutionChange);
  connect(webcamMergeCheck, &QCheckBox::clicked, this, &CTavrinWindowDlg::OnWebcamMergeCheck);
  connect(button(kIdMergeSettingsButton), &QPushButton::clicked, this,
          &CTavrinWindowDlg::OnMergeSettings);
  connect(webcamCaptureButton, &QPushButton::clicked, this, &CTavrinWindowDlg::OnWebcamCapture);
}

bool CTavrinWindowDlg::RefusedAsInUse(QComboBox* list, int chosen, int keep) {
  if (chosen != webcamCamera && chosen != currentCamera) return false;
  ShowMessageBox(this, Q(g_uiTextTable.CamUsed));
  list->setCurrentIndex(keep);
  return true;
}

void CTavrinWindowDlg::TurnOff(QCheckBox* box, void (CTavrinWindowDlg::*apply)()) {
  if (!box->isChecked()) return;
  box->setChecked(false);
  (this->*apply)();
}

void CTavrinWindowDlg::OpenCameraEarly() {
  int count = 0;
  library.camGetDevCount(&count);
  if (count <= 0) return;
  currentCamera = 0;
  int width = 0;
  int height = 0;
  RememberedSize(currentCamera, width, height);
  earlyOpenResult = OpenCamera(library, currentCamera, g_scanSettings.MediaType, width, height);
  openedEarly = true;
}

void CTavrinWindowDlg::RememberedSize(int camera, int& width, int& height) {
  if (g_scanSettings.MediaType < 0) g_scanSettings.MediaType = 0;
  width = g_scanSettings.DPI.MainWidth;
  height = g_scanSettings.DPI.MainHeight;
  // With no size remembered the list settles on the camera's first size:
  // opened there at once, the stream starts only once, and the first
  // picture comes sooner than after a start at a small size and a restart.
  if (width <= 0 || height <= 0) {
    library.camGetResolution(camera, g_scanSettings.MediaType, 0, &width, &height);
  }
}

void CTavrinWindowDlg::OnDeviceChange() {
  const int selected = deviceCombo->currentIndex();
  // The list starts on the camera opened before the window was built.
  const bool alreadyOpen = std::exchange(openedEarly, false) && selected == currentCamera;
  if (!alreadyOpen && (selected < 0 || RefusedAsInUse(deviceCombo, selected, currentCamera)))
    return;
  int opened = earlyOpenResult;
  if (!alreadyOpen) {
    library.camCloseDev(currentCamera);
    currentCamera = selected;
    int width = 0;
    int height = 0;
    RememberedSize(currentCamera, width, height);
    opened = OpenCamera(library, currentCamera, g_scanSettings.MediaType, width, height);
  }
  library.camSetPreviewWindow(currentCamera, reinterpret_cast<void*>(previewHost->winId()));
  if (opened != 0) {
    ShowMessageBox(this, Q(g_uiTextTable.OpenFailed));
    if (twain.m_nShowMode != kShowModeWindow) {
      cameraReady = false;
      show();
    }
  }

  unitCombo->clear();
  unitCombo->addItem(Q(g_uiTextTable.Resolution));
  unitCombo->setCurrentIndex(kUnitResolution);
  SetLabel(kIdResolutionLabel, g_uiTextTable.Resolution);

  const CameraInfo info = RefreshCameraInfo(currentCamera);
  if (info.dpiX > 0 && info.dpiX != 96) {
    unitCombo->addItem(Q(g_uiTextTable.DPI));
    unitCombo->setCurrentIndex(kUnitDpi);
    SetLabel(kIdResolutionLabel, g_uiTextTable.DPI);
  }

  RebuildMediaTypes();
  RebuildResolutions();
  FitTexts();
  SendImageOptions();
  ContinueAutoCapture();
}

void CTavrinWindowDlg::SendImageOptions() {
  // The camera library keeps these per camera: a camera just opened has
  // its own, not the ones the lists show.
  if (currentCamera < 0) return;
  OnColorChange();
  library.camSetImageAutoCrop(currentCamera, SelectedCrop());
  OnRotateChange();
  SendWaterMark(watermarkCheck->isChecked());
  if (handCutCheck->isChecked()) library.camSetImageCusCropRect(currentCamera, 0, 0, 100, 100);
  // The DPI goes with the resolution list, which the caller has rebuilt.
}

CameraInfo CTavrinWindowDlg::RefreshCameraInfo(int index) {
  if (index < 0) return {};
  if (static_cast<size_t>(index) >= cameraInfo.size()) cameraInfo.resize(index + 1);
  CameraInfo& info = cameraInfo[index];
  library.camSetImageDPI(index, 0, 0);
  int mediaType = -1;
  library.camGetCurResolution(index, &mediaType, &info.width, &info.height);
  library.camGetImageDPI(index, &info.dpiX, &info.dpiY);
  return info;
}

void CTavrinWindowDlg::RebuildMediaTypes() {
  int current = -1;
  int width = 0;
  int height = 0;
  library.camGetCurResolution(currentCamera, &current, &width, &height);
  mediaTypeCombo->clear();
  int count = 0;
  library.camGetMediaTypeCount(currentCamera, &count);
  for (int i = 0; i < count; ++i) {
    const char* name = library.camGetMediaTypeName(currentCamera, i);
    mediaTypeCombo->addItem(QString::fromUtf8(name != nullptr ? name : ""));
  }
  mediaTypeCombo->setCurrentIndex(current);
}

void CTavrinWindowDlg::OnMediaTypeChange() {
  const int item = mediaTypeCombo->currentIndex();
  if (library.camSetMediaType(currentCamera, item) != 0) {
    ShowMessageBox(this, Q(g_uiTextTable.Error));
  }
  g_scanSettings.MediaType = item;
  RebuildResolutions();
}

void CTavrinWindowDlg::RebuildResolutions() {
  const int unit = unitCombo->currentIndex();
  const int mediaType = std::max(g_scanSettings.MediaType, 0);
  const int rememberedWidth = g_scanSettings.DPI.MainWidth;
  const int rememberedHeight = g_scanSettings.DPI.MainHeight;

  resolutions = CameraSizes(library, currentCamera, mediaType);
  if (resolutions.empty()) return;

  if (unit == kUnitDpi) {
    const CameraInfo info =
        currentCamera >= 0 && static_cast<size_t>(currentCamera) < cameraInfo.size()
            ? cameraInfo[currentCamera]
            : CameraInfo{};
    resolutions = BuildDpiList(resolutions, dpiChoices, info);
    // Offered from the lowest up, as a scanner offers them; the walk above
    // needs them from the highest down.
    std::stable_sort(resolutions.begin(), resolutions.end(),
                     [](const auto& a, const auto& b) { return a.dpi < b.dpi; });
  } else {
    library.camSetImageDPI(currentCamera, 0, 0);
    FilterAndLabel(resolutions, namingTable);
  }

  resolutionCombo->clear();
  for (const ResolutionEntry& entry : resolutions) {
    resolutionCombo->addItem(Q(unit == kUnitDpi ? DpiItemText(entry) : ResolutionItemText(entry)));
  }

  if (unit == kUnitDpi) {
    if (resolutions.empty()) return;
    const auto wanted = std::find_if(resolutions.begin(), resolutions.end(), [](const auto& e) {
      return e.dpi == g_scanSettings.DPI.ImageDPI;
    });
    // A DPI the list lacks gets the third choice (260 unless changed).
    const int fallbackDpi =
        dpiChoices[std::min(static_cast<size_t>(kDpiItemForUnknownDpi), dpiChoices.size() - 1)];
    const auto fallback = std::find_if(resolutions.begin(), resolutions.end(),
                                       [&](const auto& e) { return e.dpi == fallbackDpi; });
    const auto picked = wanted != resolutions.end() ? wanted : fallback;
    const size_t item = picked != resolutions.end()
                            ? static_cast<size_t>(picked - resolutions.begin())
                            : resolutions.size() - 1;
    const ResolutionEntry& chosen = resolutions[item];
    library.camSetImageDPI(currentCamera, chosen.dpi, chosen.dpi);
    resolutionCombo->setCurrentIndex(static_cast<int>(item));
    if (chosen.width != rememberedWidth || chosen.height != rememberedHeight) {
      library.camSetResolution(currentCamera, chosen.width, chosen.height);
    }
    return;
  }

  for (size_t i = resolutions.size(); i-- > 0;) {
    if (resolutions[i].width == rememberedWidth && resolutions[i].height == rememberedHeight) {
      resolutionCombo->setCurrentIndex(static_cast<int>(i));
      return;
    }
  }
  if (resolutions.empty()) return;
  resolutionCombo->setCurrentIndex(0);
  library.camSetResolution(currentCamera, resolutions[0].width, resolutions[0].height);
}

void CTavrinWindowDlg::OnResolutionChange() {
  const int item = resolutionCombo->currentIndex();
  // The combo may still show items of a list the camera no longer reports.
  if (item < 0 || static_cast<size_t>(item) >= resolutions.size()) return;
  const ResolutionEntry entry = resolutions[item];
  int mediaType = -1;
  int width = 0;
  int height = 0;
  library.camGetCurResolution(currentCamera, &mediaType, &width, &height);
  if (width != entry.width || height != entry.height) {
    const int result = library.camSetResolution(currentCamera, entry.width, entry.height);
    g_scanSettings.DPI.MainWidth = entry.width;
    g_scanSettings.DPI.MainHeight = entry.height;
    if (result != 0) ShowMessageBox(this, Q(g_uiTextTable.Error));
  }
  if (unitCombo->currentIndex() == kUnitDpi) {
    library.camSetImageDPI(currentCamera, entry.dpi, entry.dpi);
    g_scanSettings.DPI.ImageDPI = entry.dpi;
  }
}

void CTavrinWindowDlg::OnUnitChange() {
  RebuildResolutions();
  const int unit = unitCombo->currentIndex();
  if (unit == kUnitResolution) SetLabel(kIdResolutionLabel, g_uiTextTable.Resolution);
  if (unit == kUnitDpi) SetLabel(kIdResolutionLabel, g_uiTextTable.DPI);
}

void CTavrinWindowDlg::SelectDpiUnit() {
  if (unitCombo->count() < 2) return;
  g_scanSettings.SizeUnit = kUnitDpi;
  const int dpi = g_scanSettings.DPI.ImageDPI;
  if (std::find(dpiChoices.begin(), dpiChoices.end(), dpi) == dpiChoices.end()) {
    dpiChoices.push_back(dpi);
  }
  unitCombo->setCurrentIndex(kUnitDpi);
  OnUnitChange();
}

void CTavrinWindowDlg::OnColorChange() {
  library.camSetImageAdjust(currentCamera, ColorModeOfItem(colorCombo->currentIndex()));
  library.camSetImageEvenLight(currentCamera, g_scanSettings.evenLight);
}

int CTavrinWindowDlg::SelectedCrop() const {
  // With no item chosen the saved value stands, so that it reaches the
  // camera library and survives the next save.
  const int item = cropCombo->currentIndex();
  return item >= 0 ? item : g_scanSettings.cutType;
}

void CTavrinWindowDlg::OnCropChange() {
  const int crop = SelectedCrop();
  library.camSetImageAutoCrop(currentCamera, crop);
  // A multiple or book crop gives several files, which a two-picture merge
  // cannot pair.
  if (crop == kTavrinCropMultiplePages || crop == kTavrinCropBook) {
    TurnOff(mergeCheck, &CTavrinWindowDlg::OnMergeCheck);
  }
  EnableForCrop();
}

void CTavrinWindowDlg::EnableForCrop() {
  // Leaving the book crop gives the boxes back, as choosing it takes them.
  // Colour and rotation stay: the library applies them to both pages.
  const bool notBook = SelectedCrop() != kTavrinCropBook;
  EnableControl(kIdMergeCheck, notBook);
  EnableControl(kIdWatermarkCheck, notBook);
  // The light is evened out only on a page the library cut out.
  EnableControl(kIdEvenLightCheck, SelectedCrop() != kTavrinCropNone);
}

void CTavrinWindowDlg::OnEvenLightCheck() {
  g_scanSettings.evenLight = evenLightCheck->isChecked() ? 1 : 0;
  OnColorChange();
}

void CTavrinWindowDlg::OnHandCutCheck() {
  int value = 0;
  if (handCutCheck->isChecked()) {
    library.camSetImageCusCropRect(currentCamera, 0, 0, 100, 100);
    savedCrop = SelectedCrop();
    cropCombo->setCurrentIndex(kTavrinCropNone);
    value = 1;
  } else {
    library.camSetImageCusCropRect(currentCamera, 0, 0, 0, 0);
    cropCombo->setCurrentIndex(savedCrop);
  }
  OnCropChange();
  g_scanSettings.HandCut = value;
}

void CTavrinWindowDlg::OnRotateChange() {
  library.camSetImageRotateMode(currentCamera, rotateCombo->currentIndex());
}

void CTavrinWindowDlg::OnLanguageChange() {
  const int item = languageCombo->currentIndex();
  if (item < 0 || static_cast<size_t>(item) >= g_languageList.size()) return;
  if (LoadUiTexts(LanguageFilePath(g_languageList[item].code))) ApplyUiTexts();
}

void CTavrinWindowDlg::OnSave() {
  SaveSettings();
}

bool CTavrinWindowDlg::SaveSettings() {
  ScanSettings& s = g_scanSettings;
  // A list without a selection (no camera, a value the list cannot show)
  // leaves its field as it was instead of saving -1.
  const auto take = [](const QComboBox* combo, int& field) {
    if (combo->currentIndex() >= 0) field = combo->currentIndex();
  };
  take(colorCombo, s.colorType);
  s.cutType = SelectedCrop();
  take(formatCombo, s.fileType);
  take(rotateCombo, s.rotateType);
  take(autoCaptureModeCombo, s.autoCaptureType);
  s.MergeHV.isEnable = mergeCheck->isChecked() ? 1 : 0;
  if (horizontalRadio->isChecked()) s.MergeHV.direction = kMergeHorizontal;
  if (verticalRadio->isChecked()) s.MergeHV.direction = kMergeVertical;
  // Without a second camera the box could not be ticked; the choice read
  // at start-up stands.
  if (webcamCheck->isEnabledTo(this)) s.Webcam.isEnable = webcamCheck->isChecked() ? 1 : 0;
  s.Webcam.isMerge = webcamMergeCheck->isChecked() ? 1 : 0;
  s.Webcam.MergeType = mergeType;
  s.Webcam.MergePosition = mergePosition;
  WaterMarkToScanSettings(watermarkSettings, s.WaterMark);
  s.WaterMark.isEnable = watermarkCheck->isChecked();
  take(unitCombo, s.SizeUnit);
  const int language = languageCombo->currentIndex();
  if (language >= 0 && static_cast<size_t>(language) < g_languageList.size()) {
    s.Language = platform::Utf16ToUtf8(g_languageList[language].code);
  }
  if (mediaTypeCombo->currentIndex() > 0) s.MediaType = mediaTypeCombo->currentIndex();
  RememberWindowSize();
  return SaveLastSettings();
}

void CTavrinWindowDlg::SendWaterMark(bool enable) {
  tavrin::SendWaterMark(library, currentCamera, watermarkSettings, enable);
}

void CTavrinWindowDlg::OnWaterMarkCheck() {
  const bool on = watermarkCheck->isChecked();
  watermarkSettings.isEnable = on;
  SendWaterMark(on);
  EnableControl(kIdWatermarkSettingsButton, on);
}

void CTavrinWindowDlg::OnWaterMarkSettings() {
  CWaterMarkDlg dialog(this);
  dialog.settings = watermarkSettings;
  if (dialog.exec() != QDialog::Accepted) return;
  watermarkSettings = dialog.settings;
  OnWaterMarkCheck();
}

}  // namespace tavrin
