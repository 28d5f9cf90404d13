#pragma once

// The message boxes of the wizard pages, behind one seam so that tests answer them without a modal loop.

#include <QMessageBox>
#include <QString>
#include <functional>

// Shows a box with the given caption and text and returns the button pressed (QMessageBox::Ok or Cancel).
// `okCancel` offers OK and Cancel, otherwise OK alone.
using WizardMessageBoxFunction = std::function<QMessageBox::StandardButton(
    QWidget* parent, const QString& caption, const QString& text, QMessageBox::Icon icon, bool okCancel)>;

QMessageBox::StandardButton ShowWizardMessage(QWidget* parent, const QString& caption, const QString& text,
                                              QMessageBox::Icon icon, bool okCancel = false);

// Replaces the box (an empty function restores the real one); returns the previous function.
WizardMessageBoxFunction SetWizardMessageBoxFunction(WizardMessageBoxFunction function);
