// Construction, start-up, layout, camera enumeration and the UI texts.
#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStatusBar>

#include <algorithm>
#include <iterator>
#include <string>

#include "dialogs/merge_preview_dlg.h"
#include "mainwindow/companion_place.h"
#include "mainwindow/message_box.h"
#include "mainwindow/scan_window_template.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "mainwindow/window_registry.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "recovery/undelivered_pages.h"
#include "resources/app_icon.h"
#include "settings/scan_settings.h"
#include "settings/ui_text_table.h"
#include "thumbnails/image_list_ctrl.h"

namespace tavrin {

namespace {

constexpr const char* kAttachFailedText =
    "TavrinDesk can't find TwainDS or missing configuration file.";

QString Q(const std::u16string& text) {
  return QString::fromStdU16String(text);
}

QString VersionText(const std::array<std::uint16_t, 4>& version) {
  return QStringLiteral("%1 : %2.%3.%4")
      .arg(Q(g_uiTextTable.Version))
      .arg(version[0])
      .arg(version[1])
      .arg(version[2]);
}

constexpr int kButtonMarginPx = 8;

// A list may be wider than its closed box: the open list shows whole items.
void FitPopup(QComboBox* combo) {
  const QFontMetrics metrics(combo->font());
  int widest = 0;
  for (int i = 0; i < combo->count(); ++i) {
    widest = std::max(widest, metrics.horizontalAdvance(combo->itemText(i)));
  }
  combo->view()->setMinimumWidth(widest + 2 * kButtonMarginPx);
}

// The data-source link's own messages go through the window's message box.
void ShowLinkMessageBox(const std::u16string& text) {
  ShowMessageBox(nullptr, Q(text));
}

// Refills a combo with texts, keeping its selection.
void RefillCombo(QComboBox* combo, std::initializer_list<QString> texts) {
  const int selected = combo->currentIndex();
  combo->clear();
  for (const QString& text : texts) combo->addItem(text);
  combo->setCurrentIndex(selected < combo->count() ? selected : -1);
}

}  // namespace

CTavrinWindowDlg::CTavrinWindowDlg(QWidget* parent) : QDialog(parent) {
  setWindowIcon(AppIcon());
  SetMessageBoxHook(&ShowLinkMessageBox);
  BuildControls();
  ConnectKeys();
  WatchListsForFit();
  ConnectHandlers();
  ConnectDriveHandlers();
  RegisterScanWindow(this);
}

void CTavrinWindowDlg::BuildControls() {
  controls =
      BuildDialog(*this, ScanWindowTemplate(), [](const DialogControl& row, QWidget* parent) {
        return row.id == kIdThumbnailList ? new CImageListCtrl(parent) : nullptr;
      });
  colorCombo = controls.Get<QComboBox>(kIdColorCombo);
  cropCombo = controls.Get<QComboBox>(kIdCropCombo);
  formatCombo = controls.Get<QComboBox>(kIdFormatCombo);
  rotateCombo = controls.Get<QComboBox>(kIdRotateCombo);
  mergeCheck = controls.Get<QCheckBox>(kIdMergeCheck);
  evenLightCheck = controls.Get<QCheckBox>(kIdEvenLightCheck);
  horizontalRadio = controls.Get<QRadioButton>(kIdHorizontalRadio);
  verticalRadio = controls.Get<QRadioButton>(kIdVerticalRadio);
  resolutionCombo = controls.Get<QComboBox>(kIdResolutionCombo);
  thumbnails = dynamic_cast<CImageListCtrl*>(controls.Control(kIdThumbnailList));
  thumbnails->SetConfirmer([this](const QString& question) { return AskQuestion(this, question); });
  deviceCombo = controls.Get<QComboBox>(kIdDeviceCombo);
  watermarkCheck = controls.Get<QCheckBox>(kIdWatermarkCheck);
  webcamCheck = controls.Get<QCheckBox>(kIdWebcamCheck);
  webcamDeviceCombo = controls.Get<QComboBox>(kIdWebcamDeviceCombo);
  webcamMergeCheck = controls.Get<QCheckBox>(kIdWebcamMergeCheck);
  webcamResolutionCombo = controls.Get<QComboBox>(kIdWebcamResolutionCombo);
  mediaTypeCombo = controls.Get<QComboBox>(kIdMediaTypeCombo);
  autoCaptureModeCombo = controls.Get<QComboBox>(kIdAutoCaptureModeCombo);
  languageCombo = controls.Get<QComboBox>(kIdLanguageCombo);
  unitCombo = controls.Get<QComboBox>(kIdUnitCombo);
  handCutCheck = controls.Get<QCheckBox>(kIdHandCutCheck);
  webcamCaptureButton = controls.Get<QPushButton>(kIdWebcamCaptureButton);
}

bool CTavrinWindowDlg::OnInitDialog() {
  // The about entry lives in the status bar's context menu and on F1 (see
  // LayoutWindow); the icon is set by the constructor.

  if (!library.LoadFromProgramFolder()) {
    ShowMessageBox(this, Q(g_uiTextTable.Error));
    reject();
    return false;
  }

  library.camRegCallBackDeviceChange(&ScanWindowDeviceChanged);
  const int initResult = library.camInitCameraLib();
  if (initResult != 0) {
    ShowMessageBox(this, QStringLiteral("%1: %2").arg(Q(g_uiTextTable.ErrCode)).arg(initResult));
    reject();
    return false;
  }
  libraryInitialised = true;

  // Without a private temporary folder there is no safe place to work in:
  // the working folder stays unset rather than becoming "Tavrin" in the
  // current folder. Pages an earlier session left there undelivered are
  // set aside for the person, never emptied away.
  const std::string tempFolder = platform::PrivateTempFolder();
  if (!tempFolder.empty()) {
    workFolder = recovery::WorkFolder(tempFolder);
    recovery::ResetWorkFolder(tempFolder);
    library.camCreateDirectory(workFolder.c_str());
  }

  namingTable = MakeNamingTable();
  dpiChoices = MakeDpiChoices();

  LoadLanguageIndex(LanguageIndexPath());
  languageCombo->clear();
  for (const LanguageEntry& entry : g_languageList) languageCombo->addItem(Q(entry.name));
  // The first item is not a choice: a saved code that matches no entry
  // leaves the list without a selection, and the code is saved unchanged.
  languageCombo->setCurrentIndex(-1);
  LoadLastSettings();
  OpenCameraEarly();
  RestoreWindowSize();

  savedCrop = g_scanSettings.cutType;

  if (const QScreen* screen = QGuiApplication::primaryScreen();
      screen && parentWidget() == nullptr) {
    QRect frame = rect();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }

  LayoutWindow();
  RefreshDevices(true);

  if (twain.Attach(this) == 0) {
    ShowMessageBox(this, QString::fromUtf8(kAttachFailedText));
    twain.Finish();
    reject();
    return false;
  }
  ready = true;
  StartCopiedDataServer();
  if (!HiddenAtStart()) show();
  const int mode = twain.m_nShowMode;
  if (mode == kShowModeWindow || mode == kShowModeList)
    QMetaObject::invokeMethod(this, &CTavrinWindowDlg::OfferWaitingPages, Qt::QueuedConnection);
  return true;
}

void CTavrinWindowDlg::LayoutWindow() {
  if (thumbnails != nullptr) {
    thumbnails->Initialise();
    if (thumbnails->count() > 0) thumbnails->EnsureItemVisible(thumbnails->count() - 1);
  }

  // Template 136: an empty child the camera library paints into.
  if (previewHost == nullptr) {
    previewHost = new QWidget(this);
    previewHost->setObjectName(QString::number(kPreviewHostTemplateId));
    new GeometryWatcher(controls.Control(kIdPreviewArea), [this] { PlacePreviews(); });
  }
  previewHost->show();
  previewHost->update();

  formatCombo->clear();
  formatCombo->addItem(QStringLiteral("BMP(*.bmp)"));
  formatCombo->addItem(QStringLiteral("JPEG(*.jpg)"));
  formatCombo->addItem(QStringLiteral("PNG(*.png)"));

  // Template 138: a pop-up of its own, placed by the merge handlers.
  if (mergePreview == nullptr) {
    mergePreview = new CMergePreviewDlg(this);
    if (PanelsInside()) EmbedPanel(mergePreview);
  }
  mergePreview->hide();

  ReadFileVersion();

  if (statusBar == nullptr) {
    statusBar = new QStatusBar(this);
    statusBar->setSizeGripEnabled(false);
    statusBar->setContextMenuPolicy(Qt::CustomContextMenu);
    ConnectAboutEntry();
    BuildStatusLine();
  }
  PlaceControls();
  statusBar->show();
  statusBar->showMessage(VersionText(version));

  // Template 137: the webcam's picture, beside the main one (PlacePreviews).
  if (webcamPreview == nullptr) {
    webcamPreview = new QWidget(this);
    webcamPreview->setObjectName(QString::number(kWebcamPreviewTemplateId));
  }
  webcamPreview->hide();
  PlacePreviews();

  LoadUiTexts(LanguageFilePath(platform::Utf8ToUtf16(g_scanSettings.Language)));
  if (languageCombo->count() == static_cast<int>(g_languageList.size())) {
    const std::u16string code = platform::Utf8ToUtf16(g_scanSettings.Language);
    for (size_t i = 0; i < g_languageList.size(); ++i) {
      if (g_languageList[i].code == code) {
        languageCombo->setCurrentIndex(static_cast<int>(i));
        break;
      }
    }
  }

  ApplyUiTexts();
}

void CTavrinWindowDlg::RefreshDevices(bool restore) {
  // Without restore (a device change) the user's choices stay as they are.
  const int unitBefore = unitCombo->currentIndex();
  int count = 0;
  library.camGetDevCount(&count);
  if (count < 0) count = 0;
  if (count == 0) {
    cameraReady = false;
    show();
  }
  ShowCameraPresence(count > 0);

  deviceCombo->clear();
  webcamDeviceCombo->clear();
  cameraInfo.clear();
  for (int i = 0; i < count; ++i) {
    const char* name = library.camGetDevName(i);
    const QString text = QString::fromUtf8(name != nullptr ? name : "");
    deviceCombo->insertItem(i, text);
    webcamDeviceCombo->insertItem(i, text);
    cameraInfo.emplace_back();
  }

  if (count > 0) {
    deviceCombo->setCurrentIndex(0);
    OnDeviceChange();
    const int unit = restore ? g_scanSettings.SizeUnit : unitBefore;
    if (unit >= 0 && unit < unitCombo->count()) unitCombo->setCurrentIndex(unit);
    // The label follows the unit now shown, not the camera's offer.
    SetLabel(kIdResolutionLabel,
             unitCombo->currentIndex() == 1 ? g_uiTextTable.DPI : g_uiTextTable.Resolution);
    RebuildMediaTypes();
    RebuildResolutions();
  }

  if (restore) colorCombo->setCurrentIndex(g_scanSettings.colorType);
  if (restore) evenLightCheck->setChecked(g_scanSettings.evenLight != 0);
  OnColorChange();

  if (restore) cropCombo->setCurrentIndex(g_scanSettings.cutType);
  OnCropChange();

  if (restore) {
    formatCombo->setCurrentIndex(g_scanSettings.fileType);
    rotateCombo->setCurrentIndex(g_scanSettings.rotateType);
  }
  OnRotateChange();

  if (restore) autoCaptureModeCombo->setCurrentIndex(g_scanSettings.autoCaptureType);

  if (restore) {
    mergeCheck->setChecked(g_scanSettings.MergeHV.isEnable != 0);
    if (g_scanSettings.MergeHV.direction == kMergeHorizontal) horizontalRadio->setChecked(true);
    if (g_scanSettings.MergeHV.direction == kMergeVertical) verticalRadio->setChecked(true);
  }
  if (horizontalRadio->isChecked()) {
    OnHorizontal();
  } else if (verticalRadio->isChecked()) {
    OnVertical();
  }
  OnMergeCheck();

  if (count < 2) {
    webcamCheck->setEnabled(false);
    webcamCaptureButton->hide();
  } else {
    EnableControl(kIdWebcamCheck, true);
    if (restore) webcamCheck->setChecked(g_scanSettings.Webcam.isEnable != 0);
    OnWebcamCheck();
  }

  if (restore) webcamMergeCheck->setChecked(g_scanSettings.Webcam.isMerge != 0);
  const bool webcamOn = webcamCheck->isChecked();
  EnableControl(kIdWebcamMergeCheck, webcamOn);
  EnableControl(kIdWebcamDeviceCombo, webcamOn);
  EnableControl(kIdWebcamResolutionCombo, webcamOn);
  EnableControl(kIdMergeSettingsButton, webcamOn);

  if (restore) watermarkCheck->setChecked(g_scanSettings.WaterMark.isEnable);
  EnableControl(kIdWatermarkSettingsButton, watermarkCheck->isChecked());

  if (restore) {
    mergeType = g_scanSettings.Webcam.MergeType;
    mergePosition = g_scanSettings.Webcam.MergePosition;
    watermarkSettings = WaterMarkFromScanSettings(g_scanSettings.WaterMark);
  }
  OnWaterMarkCheck();

  // The crop the user has chosen, which a device change keeps.
  const bool notBook = SelectedCrop() != kTavrinCropBook;
  EnableForCrop();
  EnableControl(kIdCropCombo, true);
  const bool mergeOn = mergeCheck->isChecked() && notBook;
  ShowMergePreview(mergeOn);
  EnableControl(kIdHorizontalRadio, mergeOn);
  EnableControl(kIdVerticalRadio, mergeOn);
  EnableControl(kIdWatermarkSettingsButton, watermarkCheck->isChecked());
  EnableControl(kIdWebcamMergeCheck, count >= 2 && webcamOn && notBook);

  if (g_scanSettings.ShowUIUpdataOneByOne == 1) twain.SetSendEachImage(true);

  QWidget* saveButton = controls.Control(kIdSaveButton);
  saveButton->setEnabled(false);
  saveButton->hide();

  if (restore) {
    handCutCheck->setChecked(g_scanSettings.HandCut != 0);
    OnHandCutCheck();
  }
  FitTexts();
  controlsRestored = true;
}

void CTavrinWindowDlg::ApplyUiTexts() {
  const UiTextTable& t = g_uiTextTable;
  const QString program = QString::fromStdString(platform::ProgramPath());
  setWindowTitle(QFileInfo(program).completeBaseName());

  SetLabel(kIdDeviceLabel, t.Device);
  SetLabel(kIdCaptureButton, t.Capture);
  SetLabel(kIdAutoCaptureButton, t.AutoCapture);
  SetLabel(kIdAutoCaptureModeLabel, t.AutoCaptureText);
  SetLabel(kIdRotateLabel, t.Rotate);
  SetLabel(kIdColorLabel, t.Color);
  SetLabel(kIdEvenLightCheck, t.EvenLight);
  SetLabel(kIdCropLabel, t.Cut);
  SetLabel(kIdFormatLabel, t.FileFromat);
  SetLabel(kIdMergeCheck, t.Merge);
  SetLabel(kIdHandCutCheck, t.HandCut);
  SetLabel(kIdHorizontalRadio, t.Horizontal);
  SetLabel(kIdVerticalRadio, t.Vertical);
  SetLabel(kIdMediaTypeLabel, t.Media);
  SetLabel(kIdWebcamResolutionLabel, t.Resolution);
  SetLabel(kIdWatermarkCheck, t.WaterMark);
  SetLabel(kIdWatermarkSettingsButton, t.Setting);
  SetLabel(kIdDeviceSettingsButton, t.UvcDevice);
  SetLabel(kIdImageSettingsButton, t.UvcImage);
  SetLabel(kIdWebcamDeviceLabel, t.Device);
  SetLabel(kIdWebcamCheck, t.Webcam);
  SetLabel(kIdWebcamMergeCheck, t.WebcamMerge);
  SetLabel(kIdMergeSettingsButton, t.Setting);
  SetLabel(kIdExitButton, t.Exit);
  SetLabel(kIdBestFitButton, t.Best);
  SetLabel(kIdLanguageLabel, t.Language);
  SetLabel(kIdUnitLabel, t.Unit);
  SetLabel(kIdResolutionLabel, unitCombo->currentIndex() == 1 ? t.DPI : t.Resolution);
  SetLabel(kIdSaveButton, t.Save);
  SetLabel(kIdWebcamCaptureButton, t.WebcamCapture);
  if (thumbnails != nullptr) {
    CImageListCtrl::Texts stripTexts;
    stripTexts.open = Q(t.Open);
    stripTexts.clear = Q(t.Clear);
    stripTexts.remove = Q(t.Delete);
    stripTexts.clearQuestion = Q(t.ClearAsk);
    stripTexts.undo = Q(t.Undo);
    thumbnails->SetTexts(stripTexts);
  }

  if (statusBar != nullptr) statusBar->showMessage(VersionText(version));

  RefillCombo(autoCaptureModeCombo, {Q(t.AutoCaptureOption1), Q(t.AutoCaptureOption2)});
  // Every turn in degrees, the quarter turns with their direction.
  RefillCombo(rotateCombo, {QStringLiteral("0°"), QStringLiteral("90° ") + Q(t.RotateLeft),
                            QStringLiteral("180°"), QStringLiteral("90° ") + Q(t.RotateRight)});
  RefillCombo(colorCombo, {Q(t.ColorType0), Q(t.ColorType1), Q(t.ColorType2), Q(t.ColorType3)});
  RefillCombo(cropCombo,
              {Q(t.CutType0), Q(t.CutType1), Q(t.CutType2), Q(t.CutType3), Q(t.CutType4)});
  if (unitCombo->count() > 1) {
    RefillCombo(unitCombo, {Q(t.Resolution), Q(t.DPI)});
  } else {
    RefillCombo(unitCombo, {Q(t.Resolution)});
  }
  for (QWidget* widget : controls.All()) {
    if (auto* combo = qobject_cast<QComboBox*>(widget)) FitPopup(combo);
  }
  // Without a camera the picture's text follows the language too.
  if (!controls.Get<QLabel>(kIdPreviewArea)->text().isEmpty()) {
    controls.Get<QLabel>(kIdPreviewArea)->setText(Q(t.NoCameraHint));
  }
  ApplyAccessibleTexts();
  FitTexts();
}

QString CTavrinWindowDlg::VersionMessage() const {
  return VersionText(version);
}

void CTavrinWindowDlg::ShowCameraPresence(bool present) {
  // The preview area is a framed label under the live picture's host: with
  // the host hidden, its text is what the person sees there.
  auto* area = controls.Get<QLabel>(kIdPreviewArea);
  area->setAlignment(Qt::AlignCenter);
  area->setWordWrap(true);
  area->setText(present ? QString() : Q(g_uiTextTable.NoCameraHint));
  if (previewHost != nullptr) previewHost->setVisible(present);
  for (const int id : {kIdCaptureButton, kIdAutoCaptureButton, kIdZoomInButton, kIdZoomOutButton,
                       kIdOriginalSizeButton, kIdBestFitButton, kIdImageSettingsButton,
                       kIdDeviceSettingsButton, kIdDeviceCombo, kIdMediaTypeCombo, kIdUnitCombo,
                       kIdResolutionCombo, kIdAutoCaptureModeCombo}) {
    EnableControl(id, present);
  }
}

void CTavrinWindowDlg::ReadFileVersion() {
  version = {TAVRIN_VERSION_MAJOR, TAVRIN_VERSION_MINOR, TAVRIN_VERSION_BUILD,
             TAVRIN_VERSION_REVISION};
}

void CTavrinWindowDlg::EnableControl(int id, bool enable) {
  QWidget* widget = controls.Control(id);
  if (widget == nullptr) return;
  widget->setEnabled(enable);
}

void CTavrinWindowDlg::SetLabel(int id, const std::u16string& text) {
  QWidget* widget = controls.Control(id);
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(label->buddy() != nullptr ? WithMnemonic(id, Q(text)) : Q(text));
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    button->setText(Q(text));
  }
}

}  // namespace tavrin
