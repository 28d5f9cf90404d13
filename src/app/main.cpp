// camera-setup: with no arguments the GUI, with arguments the headless commands.

#include <QApplication>

#include "CCameraSetupApp.h"
#include "Headless.h"
#include "PrivilegedHelper.h"

int main(int argc, char** argv) {
    PrivilegedHelper helper;
    if (argc > 1) {
        return RunHeadless(argc, argv, helper);
    }
    helper.Start();  // before Qt has started anything
    // Lets the desktop match the window to the menu entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(CAMERA_SETUP_APP_ID));
    QApplication application(argc, argv);
    CCameraSetupApp app(application, helper);
    return app.Run();
}
