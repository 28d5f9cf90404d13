#include "CCameraSetupApp.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>

#include "Bitmaps.h"
#include "CCameraSetupDlg.h"
#include "Diagnostics.h"
#include "EndSignalCleanup.h"
#include "GuiInstallUi.h"

CCameraSetupApp::CCameraSetupApp(QApplication& application) : m_application(application) {
    m_application.setApplicationName(QStringLiteral("camera-setup"));
    m_application.setWindowIcon(QIcon(QString::fromLatin1(Bitmaps::kIconPath)));
    // The main window is a dialog run modally; closing it must not quit a loop that is no longer running.
    m_application.setQuitOnLastWindowClosed(false);
}

int CCameraSetupApp::Run() {
    CleanUpOnEndSignals();
    StdDiagnostics diagnostics;
    {
        CCameraSetupDlg dialog(diagnostics);
        dialog.SetInstallStarter(&StartGuiInstall);
        dialog.DoModal();
        // An installation still running holds the window: end here, after its cleanup, rather than destroy
        // the window under it.
        if (GuiInstallRunning()) {
            CleanUpRunningInstall();
            std::fflush(nullptr);
            std::_Exit(0);
        }
    }
    return 0;
}
