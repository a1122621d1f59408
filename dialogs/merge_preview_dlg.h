// CMergePreviewDlg: the frameless tool window (template 138) that shows the
// two pictures of a two-picture merge. GUI thread only.
#pragma once

#include <QDialog>

#include "dialogs/picture_preview.h"
#include "resources/dialog_builder.h"
#include "settings/scan_settings.h"

namespace tavrin {

class CMergePreviewDlg : public QDialog {
 public:
  explicit CMergePreviewDlg(QWidget* parent = nullptr);

  // A horizontal merge puts the pictures side by side, a vertical one one
  // above the other; any other value puts both over the whole client area,
  // less a 6-pixel margin.
  void SetLayout(int direction);

  // Owned by the dialog; the scan window loads and clears them.
  CPicturePreview* firstPicture = nullptr;   // control 1071
  CPicturePreview* secondPicture = nullptr;  // control 1072

  const DialogControls& Controls() const { return controls; }

 private:
  DialogControls controls;
};

}  // namespace tavrin
