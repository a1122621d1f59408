// Reading back the page number the virtual book prints, so that tests can
// tell which spread a capture holds without OCR.
#pragma once

#include <QImage>

namespace tavrin::test {

// The number printed as eight blocks in the page's top margin (the first
// always inked, then the number's bits from the highest; blocks a twelfth of
// the page wide, a quarter of that apart, centred, from 2 % to 8.5 % of the
// width down), read at the blocks' middles; -1 when the first block is not
// there.
inline int BookPageNumber(const QImage& page) {
  const QImage grey = page.convertToFormat(QImage::Format_Grayscale8);
  const double width = grey.width() / 12.0;
  const double step = 1.25 * width;
  const double left = (grey.width() - 7 * step - width) / 2;
  const auto inked = [&](int cell) {
    const int x0 = static_cast<int>(left + cell * step + 0.3 * width);
    const int x1 = static_cast<int>(left + cell * step + 0.7 * width);
    const int y0 = static_cast<int>(grey.width() * 0.04);
    const int y1 = static_cast<int>(grey.width() * 0.065);
    long sum = 0;
    long count = 0;
    for (int y = y0; y <= y1; ++y) {
      for (int x = x0; x <= x1; ++x) {
        sum += grey.constScanLine(y)[x];
        ++count;
      }
    }
    return sum < 140 * count;
  };
  if (!inked(0)) return -1;
  int number = 0;
  for (int cell = 1; cell < 8; ++cell) number = number * 2 + (inked(cell) ? 1 : 0);
  return number;
}

}  // namespace tavrin::test
