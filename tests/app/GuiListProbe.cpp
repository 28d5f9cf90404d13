// The real main window with its real sockets, offscreen, for the lab test (gui_lab_test.py), run inside the
// lab's pc namespace. It waits for the start-up search, prints the list, presses Search, prints the list
// again, clicks a row and prints the button states, then presses Exit. Lines on stdout:
//   startup|search MAC ADDRESS ASSIGNED WIRELESS MODEL XRM      one per row ("-" for an empty cell)
//   buttons MAC install=0|1 web=0|1
//   message CAPTION: TEXT
//   exit RESULT
// Exit status 0 when the window ended through Exit, 3 when the run took too long.
//
// gui_list_probe [--search-ms N] [--select MAC]

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "CCameraSetupDlg.h"
#include "DeviceInfo.h"
#include "Diagnostics.h"
#include "PrivilegedHelper.h"

namespace {

void Say(const std::string& line) {
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

// True inside a named network namespace (one that `ip netns add` made, as the lab does): the probe listens on
// the DHCP ports and broadcasts, which must never happen on the machine's own network.
bool InNamedNetworkNamespace() {
    struct stat self {};
    if (stat("/proc/self/ns/net", &self) != 0) {
        return false;
    }
    DIR* directory = opendir("/run/netns");
    if (directory == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = readdir(directory)) {
        struct stat named {};
        const std::string path = std::string("/run/netns/") + entry->d_name;
        if (entry->d_name[0] != '.' && stat(path.c_str(), &named) == 0 && named.st_ino == self.st_ino &&
            named.st_dev == self.st_dev) {
            found = true;
            break;
        }
    }
    closedir(directory);
    return found;
}

void PrintRows(CCameraSetupDlg& window, const char* tag) {
    DeviceTable& table = window.Discovery().Table();
    for (size_t row = 0; row < table.RowCount(); ++row) {
        std::string line = tag;
        for (size_t column :
             {kColumnMac, kColumnAddress, kColumnAssigned, kColumnWireless, kColumnModel, kColumnXrmSupport}) {
            const std::string& cell = table.Cell(row, column);
            line += " " + (cell.empty() ? std::string("-") : cell);
        }
        Say(line);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (!InNamedNetworkNamespace()) {
        std::fprintf(stderr,
                     "gui_list_probe: run it in a lab namespace (tools/lab/lab exec pc ...), never on the "
                     "machine's own network\n");
        return 2;
    }
    QApplication application(argc, argv);
    int searchMs = CCameraSetupDlg::kSearchDurationMs;
    std::string select;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--search-ms") {
            searchMs = std::atoi(argv[i + 1]);
        } else if (option == "--select") {
            select = argv[i + 1];
        }
    }

    StdDiagnostics diagnostics(true);  // stdout carries the probe's lines
    PrivilegedHelper helper;           // as the program does: the DHCP sockets come from camera-setup-helper
    helper.Start();
    CCameraSetupDlg::Seams seams;
    seams.helper = &helper;
    seams.searchDurationMs = searchMs;
    seams.showMessage = [](const QString& text, const QString& caption) {
        Say("message " + caption.toStdString() + ": " + text.toStdString());
    };
    CCameraSetupDlg window(diagnostics, seams);
    QObject::connect(&window, &CCameraSetupDlg::StartupSearchDone, [&] {
        PrintRows(window, "startup");
        QTest::mouseClick(window.Button(CCameraSetupDlg::kSearchButton), Qt::LeftButton);  // returns after it
        PrintRows(window, "search");
        if (!select.empty()) {
            const auto mac = MacAddress::Parse(select);
            const auto row = mac ? window.Discovery().Table().Find(*mac) : std::nullopt;
            if (row) {
                QTreeView* list = window.List();
                const QRect rect = list->visualRect(list->model()->index(static_cast<int>(*row), 0));
                QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
                Say("buttons " + select +
                    " install=" + std::to_string(window.Button(CCameraSetupDlg::kInstallButton)->isEnabled()) +
                    " web=" + std::to_string(window.Button(CCameraSetupDlg::kWebPageButton)->isEnabled()));
            }
        }
        QTest::mouseClick(window.Button(CCameraSetupDlg::kExitButton), Qt::LeftButton);
    });
    QTimer::singleShot(4 * searchMs + 20000, [] {
        Say("exit timeout");
        std::fflush(nullptr);
        std::_Exit(3);
    });
    const int result = window.DoModal();
    Say("exit " + std::to_string(result));
    return result == QDialog::Accepted ? 0 : 1;
}
