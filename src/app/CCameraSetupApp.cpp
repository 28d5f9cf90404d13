#include "CCameraSetupApp.h"

#include <QApplication>
#include <QIcon>

#include "Bitmaps.h"
#include "CCameraSetupDlg.h"
#include "Diagnostics.h"
#include "GuiInstallUi.h"

CCameraSetupApp::CCameraSetupApp(QApplication& application) : m_application(application) {
    m_application.setApplicationName(QStringLiteral("camera-setup"));
    m_application.setWindowIcon(QIcon(QString::fromLatin1(Bitmaps::kIconPath)));
    // The main window is a dialog run modally; closing it must not quit a loop that is no longer running.
    m_application.setQuitOnLastWindowClosed(false);
}

int CCameraSetupApp::Run() {
    StdDiagnostics diagnostics;
    {
        CCameraSetupDlg dialog(diagnostics);
        dialog.SetInstallStarter(&StartGuiInstall);
        dialog.DoModal();
    }
    return 0;
}
