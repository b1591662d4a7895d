#include "HistoryComboBox.h"

namespace usbfifo {

CHistoryComboBox::CHistoryComboBox(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    // Lines enter the history only when they are written.
    setInsertPolicy(QComboBox::NoInsert);
    setMaxCount(kMaxHistory);
}

void CHistoryComboBox::AddToHistory(const QString& line) {
    if (line.isEmpty()) return;  // nothing to choose again
    if (findText(line, Qt::MatchExactly | Qt::MatchCaseSensitive) >= 0) return;
    // maxCount refuses an insertion into a full list: drop the oldest first.
    if (count() >= kMaxHistory) removeItem(count() - 1);
    insertItem(0, line);
    setCurrentIndex(0);
}

}  // namespace usbfifo
