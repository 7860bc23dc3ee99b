#pragma once

#include <QString>

#include <string_view>

// What the files of the main window (MainWindow*.cpp) share: its caption
// and its designed measures. Nothing else includes this.
namespace lorvex::ui::mainwindow {

inline constexpr const char* kAppCaption = "Lorvex";
// The window's client area as designed, below the menu and above the legend.
inline constexpr int kClientWidth = 690;
inline constexpr int kClientHeight = 536;
// The strip right of the scroll bar that shows the whole volume.
inline constexpr int kOverviewWidth = 32;

inline QString FromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace lorvex::ui::mainwindow
