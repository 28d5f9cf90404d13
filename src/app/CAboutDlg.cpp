#include "CAboutDlg.h"

#include <QFrame>
#include <QLabel>
#include <QPixmap>

#include "AppStyle.h"
#include "ArtworkPixmap.h"
#include "Bitmaps.h"
#include "CommandButton.h"
#include "DialogUnits.h"
#include "StringTable.h"

namespace {

constexpr const char* kNotice = "Network camera setup tool";
constexpr const char* kLegal[] = {
    "Copyright (C) 2026 the Davuvive Zazezo developers.",  "This program comes without warranty of any kind.",
    "Change camera settings only on networks you manage:", "a wrong address can leave a camera unreachable",
    "until it is reset to its factory settings.",
};

QLabel* AddText(QWidget* parent, const QString& text, const QRect& geometry) {
    auto* label = new QLabel(text, parent);
    label->setGeometry(geometry);
    label->setAttribute(Qt::WA_TranslucentBackground);
    return label;
}

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("CAboutDlg"));
    setWindowTitle(
        QStringLiteral("About %1").arg(QString::fromStdString(StringTable::Load(StringTable::kProductName))));
    ApplyDialogLook(*this);

    auto* banner = new QLabel(this);
    banner->setPixmap(ArtworkPixmap(Bitmaps::kBanner));
    banner->setGeometry(DialogUnits::ToPixels(0, 0, 378, 66));
    // The template's picture refers to bitmap 137, which does not exist: the place stays empty.
    auto* picture = new QLabel(this);
    picture->setGeometry(DialogUnits::ToPixels(60, 86, 63, 44));

    AddText(this, QStringLiteral("Version : 3.01"), DialogUnits::ToPixels(146, 108, 119, 8));
    AddText(this, QString::fromLatin1(kNotice), DialogUnits::ToPixels(146, 119, 150, 8));
    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setGeometry(DialogUnits::ToPixels(61, 138, 260, 1).adjusted(0, 0, 0, 1));
    int y = 150;
    for (const char* text : kLegal) {
        AddText(this, QString::fromLatin1(text), DialogUnits::ToPixels(61, y, 260, 8));
        y += 11;
    }

    m_ok = CreateCommandButton(this, 1, Bitmaps::kOk, 0, 0, QRect(380, 350, 109, 50));
    m_ok->setDefault(true);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);

    setFixedSize(kWidth, kHeight);
    CentreOnScreen(*this);
}
