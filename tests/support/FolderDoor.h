#pragma once

#include "PenDoor.h"

#include <QString>

#include <memory>

// A door to a pen whose package folder is `pathKavo` (a plain folder ending in USER/CUSTOM/),
// for a dialog tested on its own: the jobs run on a pen session of the test's, as in the
// program. The session lives until the test program ends.
std::shared_ptr<PenDoor> folderDoor(const QString& pathKavo);
