// CMergeOptionDlg: the modal webcam merge option dialog (template 131). The
// caller sets mergeType and mergePosition before running it and reads them
// after OK. GUI thread only.
#pragma once

#include <QDialog>

#include "TavrinLens.h"
#include "resources/dialog_builder.h"
#include "settings/scan_settings.h"

namespace tavrin {

class CMergeOptionDlg : public QDialog {
 public:
  explicit CMergeOptionDlg(QWidget* parent = nullptr);

  // The library's merge code: inside, or one of the eight outside places
  // clockwise from the upper left side.
  int mergeType = kTavrinMergeInside;
  int mergePosition = kInsideTopRight;  // inside

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
