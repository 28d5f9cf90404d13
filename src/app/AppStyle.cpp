#include "AppStyle.h"

#include <QFont>
#include <QGuiApplication>
#include <QPalette>
#include <QScreen>
#include <QWidget>

QMessageBox::Icon MessageBoxIcon(const QString& caption) {
    if (caption == QLatin1String("Error")) {
        return QMessageBox::Critical;
    }
    if (caption == QLatin1String("Warning")) {
        return QMessageBox::Warning;
    }
    return QMessageBox::Information;
}

void ApplyDialogFont(QWidget& widget) {
    QFont font = widget.font();
    font.setPixelSize(kDialogFontPixels);
    widget.setFont(font);
}

void ApplyDialogLook(QWidget& widget) {
    ApplyDialogFont(widget);
    QPalette palette = widget.palette();
    palette.setColor(QPalette::Window, kDialogBackground);
    widget.setPalette(palette);
    widget.setAutoFillBackground(true);
}

void CentreOnScreen(QWidget& widget) {
    const QScreen* screen = widget.screen() != nullptr ? widget.screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    QRect frame(QPoint(0, 0), widget.size());
    frame.moveCenter(screen->availableGeometry().center());
    widget.move(frame.topLeft());
}
