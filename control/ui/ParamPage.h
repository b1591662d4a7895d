#pragma once
// What the three parameter pages share: the control, the "AXIS" group of four
// radios (203 X .. 206 T), the page's language texts, and number fields that
// parse and show numbers the same way whatever the process locale says.
//
// A page never formats a command: Reload and Update go through the control's
// group methods, and "show" copies the control's parameter cache of the
// current axis into the fields.
#include <QWidget>
#include <array>
#include <cstdint>

#include "KORVAKT3002Ctl.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace korva::ui {

class CParamPage : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kAxisGroupId = 202;
    static constexpr int kAxisRadioX = 203;  // 203 X, 204 Y, 205 Z, 206 T

    // The page of dialog template templateId, bound to control, starting on
    // axis (the sheet's shared axis).
    CParamPage(CKORVAKT3002Ctrl* control, int templateId, int axis, QWidget* parent);

    int TemplateId() const { return m_nTemplate; }
    int Axis() const { return m_nAxis; }
    // The radio handlers: current axis := axis; show.
    void SelectAxis(int axis);
    // Reload / Update as the buttons do.
    void OnReload();
    void OnUpdate();
    // Copies the cache of the current axis into the fields.
    void ShowCache();

    QPushButton* ReloadButton() const { return m_pReload; }
    QPushButton* UpdateButton() const { return m_pUpdate; }
    QRadioButton* AxisRadio(int axis) const { return m_pRadio[static_cast<std::size_t>(axis)]; }
    // A field by control id (a QLineEdit or a QComboBox), or nullptr.
    QWidget* Field(int controlId) const;

  protected:
    // Called once the subclass has made its fields: language texts, buttons.
    void FinishPage(int reloadId, const char* reloadText, int updateId, const char* updateText);

    QLineEdit* AddEdit(int id, const char* label, bool readOnly = false);
    QComboBox* AddList(int id, const char* label, const QStringList& sortedItems);
    QLabel* AddNote(int id, QLineEdit* beside, const char* text);

    // The group read and write of the page, and the cache entries it shows.
    virtual bool ReloadGroup(std::int16_t axis) = 0;
    // Reads every field (false, after the number message, at the first bad
    // one) and writes the group. *sent tells whether the write was made.
    virtual bool ReadFieldsAndWrite(std::int16_t axis, bool* sent) = 0;
    virtual void ShowFields(const CKORVAKT3002Ctrl::AxisCache& cache) = 0;

    // Field helpers: show a value; read with the number check.
    static void SetFloat(QLineEdit* edit, double value);
    static void SetInt(QLineEdit* edit, long long value);
    static void SetListIndex(QComboBox* list, long long index);
    bool ReadFloat(QLineEdit* edit, float& out);
    bool ReadInt(QLineEdit* edit, std::int32_t& out);
    static std::int16_t ListIndex(QComboBox* list);

    CKORVAKT3002Ctrl* m_pControl;

  private:
    int m_nTemplate;
    int m_nAxis;
    int m_nNextRow = 0;
    std::array<QRadioButton*, 4> m_pRadio{};
    QPushButton* m_pReload = nullptr;
    QPushButton* m_pUpdate = nullptr;
};

}  // namespace korva::ui
