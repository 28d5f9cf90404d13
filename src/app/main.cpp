// camera-setup: with no arguments the GUI, with arguments the headless commands.

#include <QApplication>

#include "CCameraSetupApp.h"

#ifdef CAMERA_SETUP_HAVE_HEADLESS
#include "Headless.h"
#endif

#include <cstdio>

int main(int argc, char** argv) {
    if (argc > 1) {
#ifdef CAMERA_SETUP_HAVE_HEADLESS
        return RunHeadless(argc, argv);
#else
        std::fprintf(stderr, "camera-setup: this build has no headless commands; run it without arguments\n");
        return 2;
#endif
    }
    QApplication application(argc, argv);
    CCameraSetupApp app(application);
    return app.Run();
}
