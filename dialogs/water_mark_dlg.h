// CWaterMarkDlg: the modal watermark settings dialog (template 130). The
// caller fills settings before running it and reads it after OK.
// GUI thread only.
#pragma once

#include <QDialog>
#include <QStringList>

#include "dialogs/water_mark_settings.h"
#include "resources/dialog_builder.h"

class QComboBox;
class QLabel;
class QSlider;

namespace tavrin {

class ColourButton;

// The sizes of the size list, in order.
const QStringList& FontSizeEntries();

// Index of the first entry that starts with prefix (ignoring case), looking
// from the entry after startAfter to the end and then from the start, as a
// combo box's own search does; -1 when none does.
int FindPrefixFrom(const QStringList& entries, const QString& prefix, int startAfter);

class CWaterMarkDlg : public QDialog {
 public:
  explicit CWaterMarkDlg(QWidget* parent = nullptr);

  WaterMarkSettings settings;

  const DialogControls& Controls() const { return controls; }

  // Reads every control into settings and closes with OK.
  void accept() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void OnInitDialog();
  // Labels tied to their controls, and names for the rest.
  void NameControls();
  void OnTransparencyMoved(int value);
  void OnAngleMoved(int value);

  DialogControls controls;
  bool initialised = false;
  ColourButton* colourButton = nullptr;
  QComboBox* sizeBox = nullptr;
  QSlider* transparencySlider = nullptr;
  QSlider* angleSlider = nullptr;
  QLabel* transparencyValue = nullptr;
  QLabel* angleValue = nullptr;
};

}  // namespace tavrin
