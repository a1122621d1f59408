#include "dialogs/colour_button.h"

#include <QColorDialog>
#include <QFrame>
#include <QGridLayout>
#include <QPainter>
#include <QStyleOptionButton>
#include <QToolButton>

#include <array>

namespace tavrin {

namespace {

constexpr int kPaletteColumns = 5;
constexpr int kSwatchSizePx = 18;

// Four rows of five: greys, then bright, dark and light tones.
constexpr std::array<QRgb, 20> kPaletteColours = {
    0xFF000000, 0xFF404040, 0xFF808080, 0xFFC0C0C0, 0xFFFFFFFF, 0xFFFF0000, 0xFFFF8000,
    0xFFFFFF00, 0xFF00FF00, 0xFF0000FF, 0xFF800000, 0xFF804000, 0xFF808000, 0xFF008000,
    0xFF000080, 0xFFFF8080, 0xFFFFC080, 0xFFFFFF80, 0xFF80FF80, 0xFF8080FF,
};

}  // namespace

ColourButton::ColourButton(QWidget* parent) : QPushButton(parent) {
  setAutoDefault(false);
  connect(this, &QPushButton::clicked, this, &ColourButton::OpenPalette);
}

void ColourButton::SetColour(const QColor& newColour) {
  colour = newColour;
  update();
}

void ColourButton::paintEvent(QPaintEvent* event) {
  QPushButton::paintEvent(event);
  QPainter painter(this);
  const int margin = std::max(3, height() / 5);
  const QRect swatch = rect().adjusted(margin, margin, -margin, -margin);
  painter.fillRect(swatch, colour);
  painter.setPen(palette ? Qt::black : QColor(Qt::darkGray));
  painter.drawRect(swatch.adjusted(0, 0, -1, -1));
}

void ColourButton::OpenPalette() {
  if (palette != nullptr && palette->isVisible()) return;
  palette = new QFrame(this, Qt::Popup);
  palette->setObjectName("palette");
  palette->setAttribute(Qt::WA_DeleteOnClose);
  palette->setFrameStyle(QFrame::Panel | QFrame::Raised);
  auto* layout = new QGridLayout(palette);
  layout->setSpacing(2);
  layout->setContentsMargins(4, 4, 4, 4);
  for (size_t i = 0; i < kPaletteColours.size(); ++i) {
    const QColor swatchColour = QColor::fromRgb(kPaletteColours[i]);
    auto* swatch = new QToolButton(palette);
    swatch->setObjectName(QStringLiteral("swatch%1").arg(i));
    swatch->setFixedSize(kSwatchSizePx, kSwatchSizePx);
    swatch->setToolTip(swatchColour.name());
    swatch->setStyleSheet(QStringLiteral("QToolButton { background: %1; border: 1px solid gray; }")
                              .arg(swatchColour.name()));
    connect(swatch, &QToolButton::clicked, this, [this, swatchColour] { Choose(swatchColour); });
    layout->addWidget(swatch, static_cast<int>(i) / kPaletteColumns,
                      static_cast<int>(i) % kPaletteColumns);
  }
  auto* other = new QPushButton(QStringLiteral("Other..."), palette);
  other->setObjectName("other");
  other->setAutoDefault(false);
  connect(other, &QPushButton::clicked, this, &ColourButton::ChooseOther);
  layout->addWidget(other, layout->rowCount(), 0, 1, kPaletteColumns);
  palette->adjustSize();
  palette->move(mapToGlobal(QPoint(0, height())));
  palette->show();
  update();
}

void ColourButton::Choose(const QColor& chosen) {
  SetColour(chosen);
  if (palette != nullptr) palette->close();
}

void ColourButton::ChooseOther() {
  if (palette != nullptr) palette->close();
  const QColor chosen = otherColourChooser ? otherColourChooser(colour, window())
                                           : QColorDialog::getColor(colour, window());
  if (chosen.isValid()) SetColour(chosen);
}

}  // namespace tavrin
