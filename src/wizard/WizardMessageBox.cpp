#include "WizardMessageBox.h"

#include <utility>

namespace {

WizardMessageBoxFunction& Override() {
    static WizardMessageBoxFunction function;
    return function;
}

}  // namespace

QMessageBox::StandardButton ShowWizardMessage(QWidget* parent, const QString& caption, const QString& text,
                                              QMessageBox::Icon icon, bool okCancel) {
    if (Override()) {
        return Override()(parent, caption, text, icon, okCancel);
    }
    QMessageBox box(icon, caption, text, okCancel ? (QMessageBox::Ok | QMessageBox::Cancel) : QMessageBox::Ok, parent);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(okCancel ? QMessageBox::Cancel : QMessageBox::Ok);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

WizardMessageBoxFunction SetWizardMessageBoxFunction(WizardMessageBoxFunction function) {
    return std::exchange(Override(), std::move(function));
}
