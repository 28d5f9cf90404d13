#pragma once

// The application object of the GUI: starts the privileged helper, runs the main window modally and ends the
// process when it ends.

#include <QString>

#include <functional>

class PrivilegedHelper;
class QApplication;

class CCameraSetupApp {
  public:
    // Shows what the helper cannot do at start-up; default: a warning message box.
    using Warn = std::function<void(const QString& text)>;

    // The QApplication and the helper (started or not) must outlive this object.
    CCameraSetupApp(QApplication& application, PrivilegedHelper& helper, Warn warn = {});

    // Runs the main window until it ends; the exit status of the process, always 0 (the window's result is not
    // a failure).
    int Run();

  private:
    QApplication& m_application;
    PrivilegedHelper& m_helper;
    Warn m_warn;
};
