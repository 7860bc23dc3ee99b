#pragma once

#include <QString>

#include <string>

namespace lorvex::test {

// A facts file writes paths with "/"; the windows show them with "\".
inline QString WindowsPath(const std::string& factsPath) {
    QString p = QString::fromStdString(factsPath);
    p.replace('/', '\\');
    return p;
}

} // namespace lorvex::test
