#pragma once

// The application object of the GUI: runs the main window modally and ends the process when it ends.

class QApplication;

class CCameraSetupApp {
  public:
    // The QApplication must exist and outlive this object.
    explicit CCameraSetupApp(QApplication& application);

    // Runs the main window until it ends; the exit status of the process, always 0 (the window's result is not
    // a failure).
    int Run();

  private:
    QApplication& m_application;
};
