// CAboutDlg: the about box (template 100). GUI thread only.
#pragma once

#include <QDialog>

#include "resources/dialog_builder.h"

namespace tavrin {

// The version compiled into the program, "major.minor.patch".
QString ProgramVersionText();

class CAboutDlg : public QDialog {
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);

  const DialogControls& Controls() const { return controls; }

 private:
  DialogControls controls;
};

}  // namespace tavrin
