#include "ArtworkPixmap.h"

#include <QGuiApplication>

QPixmap ArtworkPixmap(int id) {
    QPixmap plain(QStringLiteral(":/bitmaps/%1.png").arg(id));
    if (qGuiApp == nullptr || qGuiApp->devicePixelRatio() <= 1.0 || plain.isNull()) {
        return plain;
    }
    QPixmap sharp(QStringLiteral(":/bitmaps/%1@2x.png").arg(id));
    if (sharp.width() != 2 * plain.width() || sharp.height() != 2 * plain.height()) {
        return plain;
    }
    sharp.setDevicePixelRatio(2.0);
    return sharp;
}
