#include "CSetupWizard.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "ArtworkPixmap.h"
#include "Bitmaps.h"
#include "DialogColours.h"
#include "DialogUnits.h"
#include "StringTable.h"
#include "WizardButton.h"
#include "WizardIds.h"

using namespace WizardIds;

namespace {

constexpr int kDialogFontPixels = 11;
constexpr int kModelNameChars = 29;  // the name is loaded into 30 characters with the terminator

struct ButtonFace {
    int id;
    int bitmap;
};
constexpr ButtonFace kButtons[] = {
    {kFinish, Bitmaps::kRestart},    {kNext, Bitmaps::kNext},         {kBack, Bitmaps::kBack},
    {kCancel, Bitmaps::kWizardExit}, {kPageCancel, Bitmaps::kCancel},
};

}  // namespace

CSetupWizard::CSetupWizard(QWidget* owner) : WizardDialog(owner) {
    setWindowTitle(QStringLiteral("Setup Wizard"));
    setFixedSize(DialogUnits::ToPixelsX(345), DialogUnits::ToPixelsY(262));
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, kDialogBackground);
    palette.setColor(QPalette::WindowText, Qt::black);
    setPalette(palette);
    setAutoFillBackground(true);
    // The layout is measured in units of an 8 pt dialog font (11 pixels at 96 dpi); the pages inherit it.
    QFont dialogFont = font();
    dialogFont.setPixelSize(kDialogFontPixels);
    setFont(dialogFont);

    auto* banner = AddItem(kBanner, new QLabel(this));
    const QPixmap bannerImage = ArtworkPixmap(Bitmaps::kWizardBanner);
    const QSize bannerSize = bannerImage.deviceIndependentSize().toSize();
    banner->setPixmap(bannerImage);
    banner->setGeometry(0, 0, bannerImage.isNull() ? width() : bannerSize.width(),
                        bannerImage.isNull() ? DialogUnits::ToPixelsY(49) : bannerSize.height());

    auto* pageArea = AddItem(kPageArea, new QWidget(this));
    pageArea->setGeometry(DialogUnits::ToPixels(0, 49, 345, 162));
    pageArea->hide();

    int x = 280;
    for (const ButtonFace& face : kButtons) {
        QPushButton* button = AddItem(face.id, CreateWizardButton(this, face.bitmap));
        button->move(x, kButtonY);
        x += 50;
    }
    connect(Button(kBack), &QPushButton::clicked, this, &WizardDialog::OnBack);
    connect(Button(kNext), &QPushButton::clicked, this, &WizardDialog::OnNext);
    connect(Button(kFinish), &QPushButton::clicked, this, &WizardDialog::OnFinish);
    connect(Button(kCancel), &QPushButton::clicked, this, &WizardDialog::OnCancelCommand);
    connect(Button(kPageCancel), &QPushButton::clicked, this, &WizardDialog::OnPageCancel);
}

QString CSetupWizard::ModelName() const {
    return QString::fromStdString(StringTable::Load(m_modelNameStringId).substr(0, kModelNameChars));
}

void CSetupWizard::OnInitDialog() {
    SetPageAreaId(kPageArea);
    WizardDialog::OnInitDialog();

    // The template is too short for the button row: grow the client area and the page area below it.
    setFixedSize(width(), DialogUnits::ToPixelsY(262) + kFrameGrowth);
    if (QWidget* area = Item(kPageArea)) {
        area->resize(area->width(), DialogUnits::ToPixelsY(162) + kFrameGrowth);
    }

    QRect around;
    if (QWidget* owner = parentWidget()) {
        around = owner->window()->frameGeometry();
    } else if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        around = screen->availableGeometry();
    }
    if (around.isValid()) {
        move(around.center() - QPoint(width() / 2, height() / 2));
    }
}
