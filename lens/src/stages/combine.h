// Puts a second picture inside or beside a first one and writes the result.
// Threads: any; no state between calls.
#pragma once

#include <string>

namespace tavrin::lens {

// mode 0: second drawn inside first at x, y, scaled to w x h.
// modes 1..8: second placed outside first at one of eight places, scaled to
// the first's height (sides) or width (above, below); the free area is white.
// The output format follows output's extension. Returns 0 when the output was
// written; any other value means nothing was written.
int CombineImages(const std::string& first, const std::string& second, const std::string& output,
                  int mode, int x, int y, int w, int h);

}  // namespace tavrin::lens
