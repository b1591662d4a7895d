#include "DialogTexts.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMetaProperty>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QWidget>
#include <vector>

#include "LanguageFile.h"

namespace korva {
namespace {

class QtDialogTarget : public DialogTextTarget {
  public:
    explicit QtDialogTarget(QWidget* dialog) : m_dialog(dialog) {
        for (QObject* child : dialog->children()) {
            auto* widget = qobject_cast<QWidget*>(child);
            if (widget == nullptr || widget->isWindow()) continue;
            QVariant id = widget->property("controlId");
            bool ok = false;
            int value = id.toInt(&ok);
            if (!id.isValid() || !ok) continue;
            m_children.push_back({widget, static_cast<std::uint16_t>(value)});
        }
    }

    void SetCaption(const std::string& text) override {
        m_dialog->setWindowTitle(QString::fromStdString(text));
    }
    std::size_t ChildCount() const override { return m_children.size(); }
    std::uint16_t ChildControlId(std::size_t index) const override { return m_children[index].id; }
    void SetChildText(std::size_t index, const std::string& text) override {
        QWidget* w = m_children[index].widget;
        QString t = QString::fromStdString(text);
        if (auto* box = qobject_cast<QGroupBox*>(w)) {
            box->setTitle(t);
        } else if (auto* label = qobject_cast<QLabel*>(w)) {
            label->setText(t);
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            button->setText(t);
        } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            edit->setText(t);
        } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
            if (combo->isEditable()) combo->setEditText(t);
        } else if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) {
            plain->setPlainText(t);
        } else if (auto* rich = qobject_cast<QTextEdit*>(w)) {
            rich->setPlainText(t);
        } else {
            // Custom widgets opt in with a writable "text" property.
            const QMetaObject* meta = w->metaObject();
            int index = meta->indexOfProperty("text");
            if (index >= 0 && meta->property(index).isWritable()) w->setProperty("text", t);
        }
    }

  private:
    struct Child {
        QWidget* widget;
        std::uint16_t id;
    };
    QWidget* m_dialog;
    std::vector<Child> m_children;
};

}  // namespace

std::string ApplyDialogTexts(const CLanguageFile& language, QWidget* dialog, int templateId) {
    if (dialog == nullptr) return {};
    QtDialogTarget target(dialog);
    return language.ApplyDialogTexts(target, templateId);
}

}  // namespace korva
