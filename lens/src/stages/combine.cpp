#include "lens/src/stages/combine.h"

#include <QImage>
#include <QString>

namespace tavrin::lens {

namespace {

constexpr int kCombineWritten = 0;
constexpr int kCombineBadInput = 1;

}  // namespace

int CombineImages(const std::string& first, const std::string& second, const std::string& output,
                  int mode, int x, int y, int w, int h) {
  (void)first;
  (void)second;
  (void)output;
  (void)mode;
  (void)x;
  (void)y;
  (void)w;
  (void)h;
  (void)kCombineWritten;
  return kCombineBadInput;
}

}  // namespace tavrin::lens
