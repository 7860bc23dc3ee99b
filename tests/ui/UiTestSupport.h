#pragma once

#include <QApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <QTest>

#include <string>

namespace lorvex::test {

// A facts file writes paths with "/"; the windows show them with "\".
inline QString WindowsPath(const std::string& factsPath) {
    QString p = QString::fromStdString(factsPath);
    p.replace('/', '\\');
    return p;
}

// Opening a drive returns at once; its map and scan end later, from the
// event loop. True once the window's work is over (scanned, failed or
// cancelled), false when it outlasts `timeoutMs`.
template <typename Window>
[[nodiscard]] bool WorkEnded(const Window& form, int timeoutMs = 120000) {
    return QTest::qWaitFor([&] { return !form.IsScanning(); }, timeoutMs);
}

// A search runs from the event loop too: true once it is over.
template <typename Find> [[nodiscard]] bool SearchEnded(const Find& find, int timeoutMs = 60000) {
    return QTest::qWaitFor([&] { return !find.IsSearching(); }, timeoutMs);
}

// A window test's main: the offscreen platform, and settings (the recent
// sources, the dialogs' folders, the window's geometry) in a store of the
// tests' own under `application`'s name, empty at the start.
template <class Test> int RunWindowTest(int argc, char** argv, const char* application) {
    // A test may give the offscreen platform options of its own (its screen).
    if (!qEnvironmentVariable("QT_QPA_PLATFORM").startsWith("offscreen:")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    QApplication::setOrganizationName("LorvexTests");
    QApplication::setApplicationName(application);
    QSettings().clear();
    Test test;
    return QTest::qExec(&test, argc, argv);
}

} // namespace lorvex::test
