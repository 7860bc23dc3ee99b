#pragma once

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

} // namespace lorvex::test
