// Start at logon for the Options dialog: the user's autostart entry
// "Marrowlantern" that starts this program.
#pragma once

#include "client/ui/options_dialog.h"

namespace client {

inline constexpr char kAutoStartName[] = "Marrowlantern";

// Fills the context's autostart calls with the shell layer's entry for
// the running program's own path.
void UseProgramAutoStart(OptionsContext& context);

}  // namespace client
