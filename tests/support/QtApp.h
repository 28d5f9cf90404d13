#pragma once

#include <QCoreApplication>

// One application object for the whole test binary (Qt allows only one).
inline void EnsureQtApp() {
    static int argc = 1;
    static char name[] = "discovery_tests";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) {
        new QCoreApplication(argc, argv);
    }
}
