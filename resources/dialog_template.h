// A dialog template: the window's size, caption and font, and one row per
// control, all in dialog units, as the resource script lays them out.
#pragma once

#include <cstdint>
#include <span>

namespace tavrin {

// Controls without an id of their own (frames, fixed labels).
constexpr int kIdcStatic = -1;

enum class ControlKind {
  kStatic,         // QLabel
  kIcon,           // QLabel for a pixmap the caller sets
  kEdit,           // QLineEdit
  kCheckBox,       // QCheckBox
  kRadioButton,    // QRadioButton, exclusive within its group
  kPushButton,     // QPushButton
  kGroupBox,       // QGroupBox, a frame drawn behind its neighbours
  kDropDownList,   // QComboBox, not editable
  kDropDownCombo,  // QComboBox, editable
  kFontList,       // QFontComboBox, editable
  kSlider,         // QSlider, horizontal
  kProgressBar,    // QProgressBar
  kSpinBox,        // QSpinBox
  kPlaceholder,    // plain QWidget (or the caller's factory's widget)
};

// Style flags of a row; combine with |.
enum ControlStyle : std::uint32_t {
  kStyleNone = 0,
  kStyleBorder = 1u << 0,  // statics: a sunken box; edits: the frame
  kStyleHidden = 1u << 1,
  kStyleDisabled = 1u << 2,
  kStyleGroup = 1u << 3,        // a radio button that starts a new group
  kStyleDefault = 1u << 4,      // the default push button
  kStyleAutoHScroll = 1u << 5,  // edit: scrolls instead of refusing text
  kStyleVertical = 1u << 6,     // slider or progress bar standing upright
};

struct DialogControl {
  int id = kIdcStatic;
  ControlKind kind = ControlKind::kStatic;
  int x = 0;
  int y = 0;
  int w = 0;
  int h = 0;                 // for drop-down lists: the height of the open list
  const char* caption = "";  // UTF-8
  std::uint32_t style = kStyleNone;
};

struct DialogTemplate {
  int id = 0;
  int width = 0;  // client size in dialog units
  int height = 0;
  const char* caption = "";                 // UTF-8
  const char* fontFamily = "MS Shell Dlg";  // the system's dialog font
  int fontPointSize = 9;
  std::span<const DialogControl> controls;
};

}  // namespace tavrin
