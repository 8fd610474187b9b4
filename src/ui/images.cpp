#include "ui/images.h"

#include <QString>

void ensureImages() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(images);
        return true;
    }();
    (void)registered;
}

QIcon programIcon() {
    ensureImages();
    return QIcon(QStringLiteral(":/image/program.ico"));
}
