#include "CommandButton.h"

#include <QBitmap>
#include <QIcon>
#include <QPixmap>

#include "Bitmaps.h"

namespace {

// White is the key colour: those pixels show the dialog behind the face.
QPixmap LoadFace(int id) {
    QPixmap face(QString::fromStdString(Bitmaps::Path(id)));
    if (!face.isNull()) {
        face.setMask(face.createMaskFromColor(Qt::white));
    }
    return face;
}

}  // namespace

CommandButton* CreateCommandButton(QWidget* parent, int id, int in, int out, int disabled, const QRect& geometry) {
    auto* button = new CommandButton(parent);
    button->setObjectName(QString::number(id));
    const QPixmap inFace = LoadFace(in);
    const QPixmap outFace = out != 0 ? LoadFace(out) : inFace;
    const QPixmap disabledFace = disabled != 0 ? LoadFace(disabled) : inFace;
    QIcon icon;
    icon.addPixmap(outFace, QIcon::Normal);
    icon.addPixmap(inFace, QIcon::Active);
    icon.addPixmap(disabledFace, QIcon::Disabled);
    button->setIcon(icon);
    button->setIconSize(inFace.size());
    button->setFlat(true);
    button->setAutoDefault(false);
    button->setGeometry(geometry);
    return button;
}
