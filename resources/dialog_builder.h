// Creates a dialog's child controls from a DialogTemplate. GUI thread only.
#pragma once

#include <QFont>
#include <QHash>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

#include "resources/dialog_template.h"

class QButtonGroup;

namespace tavrin {

// Dialog units of a font: x units are a quarter of the average character
// width, y units an eighth of the character height.
struct DialogUnits {
  int baseWidthPx = 1;   // average character width
  int baseHeightPx = 1;  // character height

  int XToPixels(int x) const;
  int YToPixels(int y) const;
  QRect ToPixels(int x, int y, int w, int h) const;
};

DialogUnits DialogUnitsOf(const QFont& font);

// The font a template asks for; the family "MS Shell Dlg" (or none) stands
// for the system's dialog font.
QFont TemplateFont(const DialogTemplate& dialogTemplate);

// Builds the widget for a row itself, or returns null to let the builder do
// it. The widget must already have parent as its parent.
using ControlFactory = std::function<QWidget*(const DialogControl& row, QWidget* parent)>;

// The controls that BuildDialog made, found by control id.
class DialogControls {
 public:
  QWidget* Control(int id) const { return byId.value(id, nullptr); }

  template <class T>
  T* Get(int id) const {
    return qobject_cast<T*>(Control(id));
  }

  // The exclusive group of a radio button; null for other ids.
  QButtonGroup* RadioGroup(int radioId) const { return groupOfRadio.value(radioId, nullptr); }

  // Every control, in template order, ids or not.
  const std::vector<QWidget*>& All() const { return all; }

  const DialogUnits& Units() const { return units; }

  // The template's places in pixels, one per control of All(), and the
  // template's client size.
  const std::vector<QRect>& Places() const { return places; }
  QSize TemplateSize() const { return templateSize; }
  // Whether the template hides the control (it may be shown later).
  bool HiddenByTemplate(size_t index) const { return index < hidden.size() && hidden[index]; }

 private:
  friend DialogControls BuildDialog(QWidget&, const DialogTemplate&, const ControlFactory&);

  QHash<int, QWidget*> byId;
  QHash<int, QButtonGroup*> groupOfRadio;
  std::vector<QWidget*> all;
  std::vector<QRect> places;
  std::vector<bool> hidden;
  QSize templateSize;
  DialogUnits units;
};

// Sets the dialog's font, fixed client size and title from the template,
// then creates one child per row in template order, named by its id
// (objectName "1027"), placed in pixels. Radio buttons form exclusive
// groups: a row with kStyleGroup starts a new one, and each group box
// closes the current one. Group boxes go behind the other controls and let
// clicks through, as frames do.
DialogControls BuildDialog(QWidget& dialog, const DialogTemplate& dialogTemplate,
                           const ControlFactory& factory = {});

// How many pixels the text of a label, button, check box, radio button or
// drop-down list (its widest item) lacks inside the control's content
// rectangle at the control's font; 0 when it shows whole.
int MissingTextWidth(const QWidget* widget);

// Places the controls at their template places again, each one widened by
// what its text lacks (those the template hides are left as they are); the controls to its right
// that share its band move along (gaps stay as the template has them), and a group box grows around
// what it holds. Fonts stay as they are. Returns the client size that holds everything: the
// template size or wider.
QSize FitControlsToTexts(const DialogControls& controls);

// A dialog of fixed size offers neither minimise nor maximise: only its
// title and its close button.
void KeepDialogPlain(QWidget& dialog);

// Unchecks every button of an exclusive group (which Qt otherwise refuses).
void ClearRadioGroup(QButtonGroup* group);

// The objectName a control of this id carries.
inline QString ControlName(int id) {
  return QString::number(id);
}

}  // namespace tavrin
