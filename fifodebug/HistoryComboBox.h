#pragma once
// An editable drop-down that remembers the lines written, newest first.
#include <QComboBox>

namespace usbfifo {

class CHistoryComboBox : public QComboBox {
    Q_OBJECT
  public:
    static constexpr int kMaxHistory = 15;

    explicit CHistoryComboBox(QWidget* parent = nullptr);

    // A line not yet in the list goes to the top and is selected; the oldest
    // falls out beyond kMaxHistory. A line already in the list is not moved;
    // an empty line is not kept.
    void AddToHistory(const QString& line);
};

}  // namespace usbfifo
