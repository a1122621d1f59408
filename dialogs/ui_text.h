// Reading texts of the UI text table as Qt strings. GUI thread only.
#pragma once

#include <QString>

#include "settings/ui_text_table.h"

namespace tavrin {

inline QString UiText(std::u16string UiTextTable::*key) {
  return QString::fromStdU16String(g_uiTextTable.*key);
}

}  // namespace tavrin
