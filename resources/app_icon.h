// The application icon (resource 128). GUI thread only.
#pragma once

#include <QIcon>
#include <QImage>

namespace tavrin {

// The icon drawn at sizePx x sizePx.
QImage AppIconImage(int sizePx);
// Every size the window system asks for, from 16 to 256 pixels.
QIcon AppIcon();

}  // namespace tavrin
