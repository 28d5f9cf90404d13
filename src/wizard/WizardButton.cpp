#include "WizardButton.h"

#include <QBitmap>
#include <QPixmap>
#include <QPushButton>

#include "Bitmaps.h"
#include "WizardIds.h"

QPushButton* CreateWizardButton(QWidget* parent, int bitmapId) {
    auto* button = new QPushButton(parent);
    QPixmap image(QString::fromStdString(Bitmaps::Path(bitmapId)));
    if (!image.isNull()) {
        image.setMask(image.createMaskFromColor(Qt::white, Qt::MaskInColor));
        button->setIcon(QIcon(image));
        button->setIconSize(image.size());
    }
    button->setFlat(true);
    button->resize(WizardIds::kButtonWidth, WizardIds::kButtonHeight);
    return button;
}
