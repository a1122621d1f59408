// CMergeOptionDlg: the modal webcam merge option dialog (template 131). The
// caller sets mergeType and mergePosition before running it and reads them
// after OK. GUI thread only.
#pragma once

#include <QDialog>

#include "resources/dialog_builder.h"

namespace tavrin {

class CMergeOptionDlg : public QDialog {
 public:
  explicit CMergeOptionDlg(QWidget* parent = nullptr);

  int mergeType = 0;  // 0 inside; 1 to 8 outside, clockwise from the upper left side
  int mergePosition =
      2;  // inside: 0 centre, 1 top left, 2 top right, 3 bottom right, 4 bottom left

  // Switches between the outside and the inside placement.
  void SetMergeKind(bool outside);

  const DialogControls& Controls() const { return controls; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void OnInitDialog();
  void OnOutSide();
  void OnInSide();
  void OnOutsidePlace(int place);
  void OnInsidePlace(int place);
  void Check(int radioId);

  DialogControls controls;
  bool initialised = false;
};

}  // namespace tavrin
