#include "CCameraSetupApp.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

#include "Bitmaps.h"
#include "CCameraSetupDlg.h"
#include "Diagnostics.h"
#include "EndSignalCleanup.h"
#include "GuiInstallUi.h"
#include "PrivilegedHelper.h"

CCameraSetupApp::CCameraSetupApp(QApplication& application, PrivilegedHelper& helper, Warn warn)
    : m_application(application), m_helper(helper), m_warn(std::move(warn)) {
    if (!m_warn) {
        m_warn = [](const QString& text) { QMessageBox::warning(nullptr, QStringLiteral("Warning"), text); };
    }
    m_application.setApplicationName(QStringLiteral("camera-setup"));
    m_application.setWindowIcon(QIcon(QString::fromLatin1(Bitmaps::kIconPath)));
    // The main window is a dialog run modally; closing it must not quit a loop that is no longer running.
    m_application.setQuitOnLastWindowClosed(false);
}

int CCameraSetupApp::Run() {
    PrivilegedHelper& helper = m_helper;
    helper.Start();
    CleanUpOnEndSignals(helper);
    if (const std::string shortfall = helper.Shortfall(); !shortfall.empty()) {
        std::fprintf(stderr, "camera-setup: %s\n", shortfall.c_str());
        m_warn(QString::fromStdString(shortfall));
    }
    StdDiagnostics diagnostics;
    {
        CCameraSetupDlg dialog(diagnostics, helper);
        dialog.SetInstallStarter(&StartGuiInstall);
        dialog.SetRestoreStarter(&StartGuiRestore);
        dialog.DoModal();
    }  // an installation still running is stopped, cleans up and is joined here
    return 0;
}
