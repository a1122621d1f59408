#include "dialogs/merge_preview_dlg.h"

#include "dialogs/ui_text.h"
#include "resources/dialog_ids.h"
#include "resources/dialog_templates.h"

namespace tavrin {

namespace {
constexpr int kMarginPx = 6;
constexpr int kGapPx = 10;
}  // namespace

CMergePreviewDlg::CMergePreviewDlg(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  controls = BuildDialog(*this, kTemplate138, [](const DialogControl& row, QWidget* owner) {
    return row.kind == ControlKind::kPlaceholder ? new CPicturePreview(owner) : nullptr;
  });
  // The scan window sizes this window over its picture area.
  setMinimumSize(0, 0);
  setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  setWindowTitle(UiText(&UiTextTable::Merge));
  firstPicture = static_cast<CPicturePreview*>(controls.Control(idd138::kFirstPicture));
  secondPicture = static_cast<CPicturePreview*>(controls.Control(idd138::kSecondPicture));
}

void CMergePreviewDlg::SetLayout(int direction) {
  const QRect client = rect();
  int w = client.width() - 2 * kMarginPx;
  int h = client.height() - 2 * kMarginPx;
  const int x = client.left() + kMarginPx;
  const int y = client.top() + kMarginPx;
  int secondX = x;
  int secondY = y;
  if (direction == kMergeHorizontal) {
    w = (w - kGapPx) / 2;
    secondX = x + w + kGapPx;
  } else if (direction == kMergeVertical) {
    h = (h - kGapPx) / 2;
    secondY = y + h + kGapPx;
  }
  firstPicture->setGeometry(x, y, w, h);
  secondPicture->setGeometry(secondX, secondY, w, h);
  update();
}

}  // namespace tavrin
