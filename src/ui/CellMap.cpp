#include "ui/CellMap.h"

#include <QStringView>

namespace lorvex::ui {

bool ContainsCaseless(std::u16string_view text, std::u16string_view part) {
    return QStringView(text).contains(QStringView(part), Qt::CaseInsensitive);
}

} // namespace lorvex::ui
