// What the progress dialog's Qt window has beyond its controls: the
// application's icon, no minimise button, a minimise (by the window
// manager or a program) undone at once, and a list wide enough for its
// lines.
#pragma once

#include <QIcon>

#include "platform/ui/dialog.h"
#include "platform/ui/qt/qt_host.h"

namespace thimbleset {

// The updater's icon: a down arrow on a round badge, drawn at each size.
QIcon ThimblesetIcon();

void AdornProgressView(platform::ui::QtHost& host, platform::ui::Dialog& dialog);

}  // namespace thimbleset
