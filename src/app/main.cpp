// camera-setup: with no arguments the GUI, with arguments the headless commands.

#include <QApplication>

#include "CCameraSetupApp.h"
#include "Headless.h"

int main(int argc, char** argv) {
    if (argc > 1) {
        return RunHeadless(argc, argv);
    }
    QApplication application(argc, argv);
    CCameraSetupApp app(application);
    return app.Run();
}
