// CProgressDlg: the processing message with a moving marquee bar
// (template 139). GUI thread only.
#pragma once

#include <QDialog>

#include "resources/dialog_builder.h"

class QProgressBar;

namespace tavrin {

class CProgressDlg : public QDialog {
 public:
  explicit CProgressDlg(QWidget* parent = nullptr);

  // The marquee bar (control 66); null until the dialog is first shown.
  QProgressBar* Bar() const { return bar; }
  const DialogControls& Controls() const { return controls; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void OnInitDialog();

  DialogControls controls;
  QProgressBar* bar = nullptr;
};

}  // namespace tavrin
