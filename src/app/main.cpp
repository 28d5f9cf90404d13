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
    QApplication application(argc, argv);
    CCameraSetupApp app(application, helper);
    return app.Run();
}
