#pragma once
// The plan run panel (template 141): plans of seven step kinds composed in a
// grid, kept in plan files of 18 cells per row, and run step by step through
// the control's single motion methods. A run thread issues the commands; for
// every motion a completion thread polls the moved axes until they stand
// still. The shell creates the panel with the view, hands it the grid header
// text on every language change and stops it at shutdown.
#include <QString>
#include <QWidget>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CompletionWaiter.h"
#include "PlanControl.h"

class QAbstractButton;
class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace korva {
class CGridWidget;
}

namespace stagedesk {

class CKT300View;
class CKT300Doc;

class CPlanRunDlg : public QWidget {
    Q_OBJECT
  public:
    // Controls of template 141.
    static constexpr int IDC_GRID = 1065;
    static constexpr int IDC_TOTAL = 1066;
    static constexpr int IDC_REPETITION = 1185;
    static constexpr int IDC_POSITION_X = 1166;  // 1166 X, 1168 Y, 1170 Z, 1172 T
    static constexpr int IDC_INSERT = 1079;
    static constexpr int IDC_DELETE = 1080;
    static constexpr int IDC_UPDATE = 1107;
    static constexpr int IDC_IMPORT = 1082;
    static constexpr int IDC_EXPORT = 1084;
    static constexpr int IDC_RUN = 1086;
    static constexpr int IDC_STOP = 1085;
    static constexpr int kGridColumns = 19;
    static constexpr double kSpeedMax = 100000000.0;
    // The header used when the language file offers none with 19 columns.
    static QString DefaultGridFormat();
    // The kind radios, in kind order (GoArc .. GoOpticsHome).
    static const std::array<int, 7>& KindRadioIds();

    using TextLookup = std::function<QString(const char* key)>;

    // The shell's panel: the view's control and language texts.
    CPlanRunDlg(CKT300View* view, QWidget* parent);
    // A panel on any control (tests, other hosts); texts looks keys up.
    CPlanRunDlg(plan::PlanControl* control, TextLookup texts, QWidget* parent,
                plan::CompletionTiming timing = {});
    ~CPlanRunDlg() override;

    // Dialog texts of template 141.
    void ApplyLanguage(const CKT300Doc& doc);
    // The grid's header format text (language key "IDS_INIT_GRID"). A text
    // that does not describe 19 columns leaves the built-in header.
    void SetGridHeaderFormat(const QString& format);
    QString GridHeaderFormat() const { return m_strGridHeader; }
    // Ends the panel's threads and waits for them (shutdown): the stop flag
    // is set, so used axes get Stop. Idempotent; no run starts afterwards.
    void StopThreads();

    // The operator's actions.
    void SelectKind(int kind);
    void OnInsert();
    void OnDelete();
    void OnUpdate();
    void OnGridClick(int row);
    void OnRun();
    void OnStop();
    // Stop all: the stop has gone to every axis already; the run ends after
    // the call in progress without stopping the axes again.
    void StopRun();
    // The shell's interlock: another motion runs (empty reason: allowed).
    void SetStartBlocked(const QString& reason);
    void OnImport();  // asks for a file, then ImportFile
    void OnExport();  // asks for a file, then ExportFile
    // Plan files of 18 cells per row; failures are reported in a message box.
    bool ImportFile(const QString& path);
    bool ExportFile(const QString& path);

    // State and widgets, for the shell and tests.
    int Kind() const { return m_nKind; }
    bool IsRunning() const { return m_bRunning.load(); }
    korva::CGridWidget* Grid() const { return m_pGrid; }
    QAbstractButton* Button(int controlId) const;
    // A form field by control id (QLineEdit or QComboBox), or nullptr.
    QWidget* Field(int controlId) const;
    QLineEdit* Edit(int controlId) const;
    QComboBox* List(int controlId) const;
    QLabel* Status() const { return m_pStatus; }
    const plan::CompletionWaiter& Waiter() const { return *m_waiter; }

  signals:
    void RunStarted();
    void RunFinished();

  private:
    enum class FieldType { kInt, kFloat, kSpeed, kAxis, kDir, kState, kWork, kUnit };
    struct FieldDef {
        int id;
        const char* label;
        FieldType type;
        int cell;  // grid column
    };
    static const std::vector<FieldDef>& FieldsOf(int kind);

    void Init(TextLookup texts, plan::CompletionTiming timing);
    void CreateControls();
    void MakeKindBox(int kind, const QRect& box, int columns);
    bool CheckFields(int kind);
    bool ReadRepetitions(int& repetitions);
    void WriteFields(int kind, int row);
    void Renumber();
    std::vector<std::string> RowCells(int row) const;
    void ShowPositions(const plan::AxisPositions& positions);
    void RunMain(std::vector<std::vector<std::string>> rows, int repetitions);
    void OnRunEnded();
    QString Text(const char* key) const;

    CKT300View* m_pView = nullptr;
    std::unique_ptr<plan::PlanControl> m_adapter;
    plan::PlanControl* m_pControl = nullptr;
    TextLookup m_texts;
    QString m_strGridHeader;

    int m_nKind = 0;
    korva::CGridWidget* m_pGrid = nullptr;
    QButtonGroup* m_pKinds = nullptr;
    std::array<QRadioButton*, 7> m_pKindRadio{};
    QLabel* m_pStatus = nullptr;

    // Shared with the run thread and the completion thread.
    std::atomic<int> m_nStop{0};
    std::atomic<bool> m_bRunning{false};
    std::unique_ptr<plan::CompletionWaiter> m_waiter;
    std::thread m_runThread;
    bool m_bShutDown = false;
    QString m_strStartBlocked;
};

}  // namespace stagedesk
