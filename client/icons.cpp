#include "client/icons.h"

#include "client/dialog_layout.h"

// Outside any namespace, as the resource compiler's initialiser is global.
static void InitTessikResources() { Q_INIT_RESOURCE(tessik); }

namespace tessik {

void InitResources() { InitTessikResources(); }

QIcon LoadIcon(int id) {
    QIcon icon;
    switch (id) {
        case IDI_PROGRAM:
            icon.addFile(QStringLiteral(":/icons/128-32.png"), QSize(32, 32));
            icon.addFile(QStringLiteral(":/icons/128-16.png"), QSize(16, 16));
            break;
        case IDI_MEMBER:
            icon.addFile(QStringLiteral(":/icons/130.png"), QSize(32, 32));
            break;
        case IDI_SPEAKER:
            icon.addFile(QStringLiteral(":/icons/131.png"), QSize(32, 32));
            break;
        default:
            break;
    }
    return icon;
}

}  // namespace tessik
