#include "mainwindow/scan_window_template.h"

namespace tavrin {

namespace {

using K = ControlKind;

constexpr DialogControl kControls[] = {
    {kIdColorLabel, K::kStatic, 8, 7, 41, 8, "颜色："},
    {kIdColorCombo, K::kDropDownList, 49, 5, 56, 30},
    {kIdCropLabel, K::kStatic, 8, 35, 41, 8, "裁切："},
    {kIdCropCombo, K::kDropDownList, 49, 33, 56, 30},
    {kIdFormatLabel, K::kStatic, 8, 51, 41, 8, "格式："},
    {kIdFormatCombo, K::kDropDownList, 49, 49, 56, 30},
    {kIdMergeCheck, K::kCheckBox, 14, 86, 93, 10, "合并"},
    {kIdHorizontalRadio, K::kRadioButton, 30, 115, 63, 10, "水平", kStyleGroup},
    {kIdVerticalRadio, K::kRadioButton, 30, 101, 63, 10, "垂直"},
    {kIdWatermarkCheck, K::kCheckBox, 14, 143, 93, 10, "水印"},
    {kIdWatermarkSettingsButton, K::kPushButton, 24, 156, 50, 14, "水印设置"},
    // The camera's own settings, one button above the other in their frame.
    {kIdDeviceSettingsButton, K::kPushButton, 5, 301, 97, 14, "设备"},
    {kIdImageSettingsButton, K::kPushButton, 5, 284, 97, 14, "图像"},
    {kIdWebcamCheck, K::kCheckBox, 14, 188, 93, 10, "副头"},
    {kIdWebcamDeviceLabel, K::kStatic, 5, 206, 33, 8, "设备："},
    {kIdWebcamDeviceCombo, K::kDropDownList, 42, 204, 63, 30},
    {kIdMergeSettingsButton, K::kPushButton, 24, 252, 53, 14, "合并设置"},
    {kIdPreviewArea, K::kStatic, 114, 7, 440, 297, "", kStyleBorder},
    {kIdZoomInButton, K::kPushButton, 117, 315, 25, 14, "+"},
    {kIdZoomOutButton, K::kPushButton, 144, 315, 25, 14, "-"},
    {kIdOriginalSizeButton, K::kPushButton, 171, 315, 25, 14, "1:1"},
    {kIdBestFitButton, K::kPushButton, 198, 315, 25, 14, "最适"},
    {kIdRotateLabel, K::kStatic, 227, 318, 52, 8, "旋转："},
    {kIdRotateCombo, K::kDropDownList, 282, 316, 60, 30},
    {kIdExitButton, K::kPushButton, 619, 340, 37, 14, "退出"},
    {kIdDeviceLabel, K::kStatic, 5, 343, 33, 8, "设备："},
    {kIdDeviceCombo, K::kDropDownList, 42, 341, 60, 30},
    {kIdMediaTypeLabel, K::kStatic, 105, 343, 49, 8, "视频格式："},
    {kIdMediaTypeCombo, K::kDropDownList, 158, 341, 60, 30},
    {kIdResolutionLabel, K::kStatic, 334, 343, 49, 8, "分辨率："},
    {kIdResolutionCombo, K::kDropDownList, 385, 341, 60, 30},
    {kIdUnitLabel, K::kStatic, 222, 343, 47, 8, "单位："},
    {kIdCaptureButton, K::kPushButton, 515, 314, 39, 14, "拍照"},
    {kIdAutoCaptureButton, K::kPushButton, 469, 314, 39, 14, "连拍"},
    {kIdThumbnailList, K::kPlaceholder, 561, 6, 97, 297},
    {kIdWebcamMergeCheck, K::kCheckBox, 14, 238, 93, 10, "合并副头"},
    {kIdSaveButton, K::kPushButton, 576, 340, 37, 14, "保存"},
    {kIdWebcamResolutionLabel, K::kStatic, 5, 221, 33, 8, "分辨率："},
    {kIdWebcamResolutionCombo, K::kDropDownList, 42, 219, 63, 30},
    {kIdMergeGroup, K::kGroupBox, 2, 76, 106, 52},
    {kIdWatermarkGroup, K::kGroupBox, 2, 134, 106, 42},
    {kIdWebcamGroup, K::kGroupBox, 2, 182, 106, 90},
    {kIdSettingsGroup, K::kGroupBox, 2, 275, 105, 45},
    {kIdAutoCaptureModeCombo, K::kDropDownList, 406, 316, 60, 30},
    {kIdAutoCaptureModeLabel, K::kStatic, 361, 318, 41, 8, "连拍模式："},
    {kIdUnitCombo, K::kDropDownList, 272, 341, 60, 30},
    {kIdLanguageCombo, K::kDropDownList, 498, 341, 60, 30},
    {kIdLanguageLabel, K::kStatic, 448, 343, 49, 8, "语言："},
    {kIdHandCutCheck, K::kCheckBox, 15, 64, 90, 10, "手动裁切"},
    // Under the scan mode it belongs to.
    {kIdEvenLightCheck, K::kCheckBox, 15, 20, 90, 10, "均匀光线"},
    {kIdWebcamCaptureButton, K::kPushButton, 563, 314, 50, 14, "副头拍照"},
};

constexpr DialogTemplate kTemplate{
    .id = kScanWindowTemplateId,
    .width = 659,
    .height = 369,
    .caption = "TavrinDesk",
    .fontFamily = "MS Shell Dlg",
    .fontPointSize = 9,
    .controls = kControls,
};

}  // namespace

const DialogTemplate& ScanWindowTemplate() {
  return kTemplate;
}

}  // namespace tavrin
