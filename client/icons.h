// The icons of the client, shipped in the program's resources.
#pragma once

#include <QIcon>

namespace tessik {

// Makes the compiled-in resources available; call once before any icon.
void InitResources();
// Icon 128 (32 and 16 pixels), 130 or 131; a null icon for other ids.
QIcon LoadIcon(int id);

}  // namespace tessik
