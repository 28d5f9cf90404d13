#include "CommandButton.h"

CommandButton* CreateCommandButton(QWidget* parent, int id, int in, int out, int disabled, const QRect& geometry) {
    auto* button = new CommandButton(parent);
    button->setObjectName(QString::number(id));
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    button->SetBitmaps(in, Qt::white, out, Qt::white, disabled, Qt::white);
    return button;
}
