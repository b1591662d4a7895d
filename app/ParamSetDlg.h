#pragma once
// The parameter panel (template 137): base, position and run parameters of
// one axis. Every value is written to the controller as soon as the operator
// leaves its field or picks a list entry, and each write is confirmed or
// refused with a message; a refused write shows the controller's value again.
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace stagedesk {

class CKT300View;
class CKT300Doc;
class CKORVAKT3002;

class CParamSetDlg : public QWidget {
    Q_OBJECT
  public:
    CParamSetDlg(CKT300View* view, QWidget* parent);

    void ApplyLanguage(const CKT300Doc& doc);

    // Reads every parameter of the current axis (Reload button, after the
    // device opens, after writes that change other values) on the device
    // worker; then() runs on the window's thread once the reload has been
    // reported. Ends at the first read that fails.
    void ReloadAll(std::function<void()> then = {});
    // True while a read or write of this panel waits for the device.
    bool RequestRunning() const { return m_nRequests > 0; }
    // Stop all: the panel's queued requests were dropped; back to idle.
    void CancelRequests();
    QProgressBar* Progress() const { return m_pProgress; }
    // Reads done of the reload running (tests, screenshots).
    static constexpr int kReloadReads = 19;
    // The axis radios.
    void SelectAxis(int axis);
    int CurrentAxis() const { return m_nAxis; }

    // From now on leaving a field writes nothing (the program is closing and
    // its widgets lose the focus).
    void StopWriting();

    // The unit labels by unit index (0 deg, 1 mm, 2 PP, 3 um).
    void SetUnitLabels(int unitIndex);

    QLineEdit* Edit(int controlId) const;
    QComboBox* Combo(int controlId) const;
    QLabel* Label(int controlId) const;
    QPushButton* PushButton(int controlId) const;
    // True while the factory settings wait runs.
    bool FactoryResetPending() const { return m_bFactoryPending; }

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    enum class FieldKind { Float, Int };
    struct EditField {
        int id;
        FieldKind kind;
        bool reload;  // reload every value after a good write
        float* fValue;
        std::int32_t* nValue;
        std::function<bool(std::int16_t axis)> write;
        std::function<void(std::int16_t axis)> readBack;
    };

    void CreateControls();
    void AddEditRow(QWidget* parent, int x, int y, const char* label, int id, const char* unit,
                    int unitId);
    QComboBox* AddListRow(int x, int y, const char* label, int id, const QStringList& items);
    void DefineFields();

    void RefreshControls();  // state -> controls
    void WriteEdit(const EditField& field);
    void WriteList(int id);
    void OnStageStyleChanged(int index);
    void OnUnitChanged(int index);
    void OnFactorySettings();
    // Runs write() on the device worker; a refused write runs readBack()
    // there too. Then the message, the controls and, if asked, a reload.
    void RunWrite(const QString& call, std::function<bool()> write, bool reload,
                  std::function<void()> readBack, std::function<void(bool)> after = {});
    void SetRequestState(bool running);
    void SetEncoderList(int stageStyle);
    void SetReadingState(bool reading);
    QString EncoderText(const QString& code) const;

    CKORVAKT3002& Control() const;
    QString Text(const char* key) const;

    CKT300View* m_pView;
    QButtonGroup* m_pAxisGroup = nullptr;
    std::vector<EditField> m_fields;
    bool m_bWriting = false;
    bool m_bFactoryPending = false;
    int m_nRequests = 0;
    QProgressBar* m_pProgress = nullptr;
    class QTimer* m_pFactoryTimer = nullptr;

    // Panel state (the bound values).
    std::int16_t m_nAxis = 0;
    std::int16_t m_nStageStyle = 0;
    QString m_strStageStyle = QStringLiteral("Linear");
    float m_fPitch = 0;
    std::int32_t m_nDriveRat = 0;
    std::int32_t m_nRadius = 0;
    float m_fStageSteps = 0;
    QString m_strWorkstate = QStringLiteral("Open");
    QString m_strEncoder = QStringLiteral("Linear");
    float m_fLimitPos = 0;
    float m_fLimitNeg = 0;
    float m_fResolution = 0;
    float m_fOffset = 0;
    QString m_strLimitAble = QStringLiteral("Disable");
    float m_fSpeed = 0;
    float m_fInitSpeed = 0;
    float m_fAccSpeed = 0;
    float m_fHomeSpeed = 0;
    QString m_strUnit = QStringLiteral("mm");
    int m_nUnitSaved = 1;  // the unit list's index before the operator's choice
    float m_fDistance = 0;
    double m_fPosition = 0;
};

}  // namespace stagedesk
