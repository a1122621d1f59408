// A push button that shows a colour and, when pressed, a palette of colours
// in five columns with a button for any other colour. GUI thread only.
#pragma once

#include <QColor>
#include <QFrame>
#include <QPointer>
#include <QPushButton>

#include <functional>

namespace tavrin {

class ColourButton : public QPushButton {
 public:
  // Asks the user for any colour, starting from the current one; an invalid
  // colour means the user cancelled.
  using OtherColourChooser = std::function<QColor(const QColor& current, QWidget* parent)>;

  explicit ColourButton(QWidget* parent = nullptr);

  QColor Colour() const { return colour; }
  void SetColour(const QColor& newColour);

  // The palette while it is open (objectName "palette"), else null or closed.
  QFrame* Palette() const { return palette; }
  void SetOtherColourChooser(OtherColourChooser chooser) {
    otherColourChooser = std::move(chooser);
  }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void OpenPalette();
  void Choose(const QColor& chosen);
  void ChooseOther();

  QColor colour = Qt::black;
  // Cleared by Qt when the popup closes and deletes itself.
  QPointer<QFrame> palette;
  OtherColourChooser otherColourChooser;
};

}  // namespace tavrin
