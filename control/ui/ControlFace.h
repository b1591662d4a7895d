#pragma once
// The control's visible face: its whole rectangle painted white with an
// ellipse outline inscribed in it. It shows nothing else and takes no input.
#include <QIcon>
#include <QWidget>

namespace korva::ui {

class CKORVAKT3002Face : public QWidget {
    Q_OBJECT
  public:
    explicit CKORVAKT3002Face(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {100, 50}; }

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// The control's icon (toolbox bitmap and about box): the face in small.
QIcon ControlIcon();

}  // namespace korva::ui
