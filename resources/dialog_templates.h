// Templates of the option dialogs.
#pragma once

#include "resources/dialog_template.h"

namespace tavrin {

extern const DialogTemplate kTemplate100;  // about box
extern const DialogTemplate kTemplate130;  // watermark settings
extern const DialogTemplate kTemplate131;  // webcam merge option
extern const DialogTemplate kTemplate135;  // continuous capture
extern const DialogTemplate kTemplate138;  // merge preview
extern const DialogTemplate kTemplate139;  // progress

}  // namespace tavrin
