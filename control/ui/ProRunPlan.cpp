#include "ProRunPlan.h"

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "ControlFace.h"
#include "DialogTexts.h"
#include "GridWidget.h"
#include "KORVAKT3002Ctl.h"
#include "LanguageFile.h"
#include "PlanFile.h"
#include "PlanStepDlg.h"
#include "Trace.h"
#include "UiMessage.h"

namespace korva::ui {
namespace {

const QString kPlanFilter = QStringLiteral("KT200 (*.pla);;All files (*)");

QPushButton* MakeButton(QWidget* parent, int id, const char* text, const QRect& r) {
    auto* b = new QPushButton(QString::fromLatin1(text), parent);
    b->setProperty("controlId", id);
    b->setGeometry(r);
    b->setAutoDefault(false);
    return b;
}

std::string LocalPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

}  // namespace

QString CProRunPlan::DefaultGridFormat() {
    return QStringLiteral(
        "^Step|^RunMode|^RunCounts|^Anxi1|^Anxi2|^Anxi3|^Distance1|^Distance2|^Distance3|^State|"
        "^WaitTime(ms)|^Workstate|^Dir|^CenPosx|^CenPosy|^TargetPosx|^TargetPosy");
}

CProRunPlan::CProRunPlan(CKORVAKT3002Ctrl* control, QWidget* parent)
    : QWidget(parent), m_pControl(control) {
    if (m_pControl != nullptr) m_controlMotion = std::make_unique<ControlPlanMotion>(*m_pControl);
    m_pMotion = m_controlMotion.get();
    CreateControls();

    CLanguageFile language(ControlLanguageConfig());
    const std::string name = m_pControl != nullptr ? m_pControl->GetLangenge() : std::string();
    if (!language.Load(name)) ShowMessage(this, QStringLiteral("Load language resource failure!"));
    const std::string caption = korva::ApplyDialogTexts(language, this, kTemplate);
    m_strCaption = caption.empty() ? QStringLiteral("RunPlan") : QString::fromStdString(caption);
    QString header = QString::fromStdString(language.GetText("IDS_INIT_GRID"));
    if (korva::CGridWidget::FormatColumns(header) != kGridColumns) {
        // A missing or short header would drop cells: keep the 17 columns.
        Trace("KORVAKT3002: IDS_INIT_GRID does not describe %d columns; default header used\n",
              kGridColumns);
        header = DefaultGridFormat();
    }
    m_pGrid->SetFormatString(header);

    for (int kind = 0; kind < kStepKinds; ++kind) {
        auto* dialog = new CPlanStepDlg(kind, m_pControl);
        m_pStepDlg[static_cast<std::size_t>(kind)] = dialog;
        m_pTabs->addTab(dialog, QString::fromLatin1(StepTabText(kind)));
    }
    OnRunModeChanged(m_nKind);
    m_pGrid->SetRows(1);
}

CProRunPlan::~CProRunPlan() {
    if (m_runThread.joinable()) {
        m_stop.Request();
        m_runThread.join();
    }
    if (m_stopThread.joinable()) m_stopThread.join();
}

void CProRunPlan::CreateControls() {
    m_pProgress = new QProgressBar(this);
    m_pProgress->setProperty("controlId", IDC_PROGRESS);
    m_pProgress->setGeometry(10, 10, 880, 22);
    m_pProgress->setRange(0, 10000);
    m_pProgress->setValue(0);
    m_pProgress->setTextVisible(false);

    m_pGrid = new korva::CGridWidget(this);
    m_pGrid->setProperty("controlId", IDC_GRID);
    m_pGrid->setGeometry(10, 40, 880, 250);
    connect(m_pGrid, &korva::CGridWidget::cellClicked, this,
            [this](int row, int) { OnGridClick(row); });

    auto* modeLabel = new QLabel(QStringLiteral("Run Mode"), this);
    modeLabel->setProperty("controlId", IDC_MODE_LABEL);
    modeLabel->setGeometry(10, 302, 100, 24);
    m_pRunMode = new QComboBox(this);
    m_pRunMode->setProperty("controlId", IDC_MODE);
    m_pRunMode->setGeometry(115, 300, 130, 28);
    for (int kind = 0; kind < kStepKinds; ++kind) {
        m_pRunMode->addItem(QString::fromLatin1(StepKindName(kind)));
    }
    m_pRunMode->setCurrentIndex(m_nKind);

    auto* totalLabel = new QLabel(QStringLiteral("Total Counts"), this);
    totalLabel->setProperty("controlId", IDC_TOTAL_LABEL);
    totalLabel->setGeometry(10, 338, 100, 24);
    m_pTotal = new QLineEdit(QString::number(m_nTotal), this);
    m_pTotal->setProperty("controlId", IDC_TOTAL);
    m_pTotal->setGeometry(115, 336, 130, 28);

    auto* insert = MakeButton(this, IDC_INSERT, "Insert", QRect(10, 376, 115, 32));
    auto* remove = MakeButton(this, IDC_DELETE, "Delete", QRect(130, 376, 115, 32));
    auto* update = MakeButton(this, IDC_UPDATE, "Update", QRect(10, 412, 115, 32));
    auto* import = MakeButton(this, IDC_IMPORT, "Import", QRect(130, 412, 115, 32));
    auto* exportButton = MakeButton(this, IDC_EXPORT, "Export", QRect(10, 448, 115, 32));
    auto* run = MakeButton(this, IDC_RUN, "Run", QRect(130, 448, 115, 32));
    auto* stop = MakeButton(this, IDC_STOP, "Stop", QRect(10, 484, 235, 32));
    connect(insert, &QPushButton::clicked, this, [this] { OnInsert(); });
    connect(remove, &QPushButton::clicked, this, [this] { OnDelete(); });
    connect(update, &QPushButton::clicked, this, [this] { OnUpdate(); });
    connect(import, &QPushButton::clicked, this, [this] { OnImport(); });
    connect(exportButton, &QPushButton::clicked, this, [this] { OnExport(); });
    connect(run, &QPushButton::clicked, this, [this] { OnRun(); });
    connect(stop, &QPushButton::clicked, this, [this] { OnStop(); });

    m_pTabs = new QTabWidget(this);
    m_pTabs->setProperty("controlId", IDC_TAB);
    m_pTabs->setGeometry(260, 300, 630, 216);

    m_pStatus = new QLabel(this);
    m_pStatus->setGeometry(10, 524, 880, 24);

    connect(m_pRunMode, &QComboBox::activated, this, [this](int kind) { OnRunModeChanged(kind); });
    setMinimumSize(900, 556);
}

void CProRunPlan::SetMotion(PlanMotion* motion) {
    if (IsRunning()) return;
    m_pMotion = motion != nullptr ? motion : m_controlMotion.get();
}

QPushButton* CProRunPlan::Button(int controlId) const {
    for (QObject* child : children()) {
        auto* b = qobject_cast<QPushButton*>(child);
        if (b != nullptr && b->property("controlId").toInt() == controlId) return b;
    }
    return nullptr;
}

CPlanStepDlg* CProRunPlan::StepDialog(int kind) const {
    return kind >= 0 && kind < kStepKinds ? m_pStepDlg[static_cast<std::size_t>(kind)] : nullptr;
}

// --- taking the window's values ---

bool CProRunPlan::ReadTotal() {
    bool ok = false;
    const qlonglong value = m_pTotal->text().trimmed().toLongLong(&ok);
    if (!ok || value < 1 || value > kTotalMax) {
        ShowMessage(this, IntegerRangeMessage(1, kTotalMax));
        m_pTotal->setFocus();
        m_pTotal->selectAll();
        return false;
    }
    m_nTotal = static_cast<int>(value);
    return true;
}

bool CProRunPlan::TakeStep() {
    // A refused entry takes nothing: the operator has seen the number message
    // and the grid is not changed with values other than those typed.
    if (!ReadTotal()) return false;
    CPlanStepDlg* dialog = StepDialog(m_nKind);
    return dialog != nullptr && dialog->Read(m_step);
}

std::vector<std::string> CProRunPlan::RowCells(int row) const {
    std::vector<std::string> cells(kPlanCells);
    for (int c = 0; c < kPlanCells; ++c) {
        cells[static_cast<std::size_t>(c)] = m_pGrid->TextMatrix(row, c + 1).toStdString();
    }
    return cells;
}

void CProRunPlan::WriteRow(int row) {
    std::vector<std::string> cells = RowCells(row);
    WriteStepCells(m_nKind, m_step, cells);
    for (int c = 0; c < kPlanCells; ++c) {
        m_pGrid->SetTextMatrix(row, c + 1,
                               QString::fromStdString(cells[static_cast<std::size_t>(c)]));
    }
}

void CProRunPlan::Renumber() {
    for (int r = 1; r < m_pGrid->Rows(); ++r) m_pGrid->SetTextMatrix(r, 0, QString::number(r));
}

// --- editing ---

void CProRunPlan::OnRunModeChanged(int kind) {
    if (kind < 0 || kind >= kStepKinds) return;
    m_nKind = kind;
    if (m_pRunMode->currentIndex() != kind) m_pRunMode->setCurrentIndex(kind);
    m_pTabs->setCurrentIndex(kind);
}

void CProRunPlan::OnInsert() {
    if (IsRunning() || !TakeStep()) return;
    const int row = m_pGrid->Row() + 1;
    m_pGrid->AddItem(QString::number(row), row);
    WriteRow(row);
    Renumber();
    m_pGrid->FitColumns();
    // The new step becomes current, so the next one goes below it.
    m_pGrid->SetRow(row);
}

void CProRunPlan::OnUpdate() {
    if (IsRunning()) return;
    const int row = m_pGrid->Row();
    if (row < 1 || !TakeStep()) return;
    WriteRow(row);
    m_pGrid->FitColumns();
}

void CProRunPlan::OnDelete() {
    if (IsRunning()) return;
    // The last step goes, whichever row is current.
    if (m_pGrid->Rows() > 1) m_pGrid->RemoveItem(m_pGrid->Rows() - 1);
}

void CProRunPlan::OnGridClick(int row) {
    if (row < 1 || row >= m_pGrid->Rows()) return;
    m_pGrid->SetRow(row);
    PlanStep step = m_step;
    const int kind = ReadStepCells(RowCells(row), step, nullptr);
    if (kind < 0 || kind >= kStepKinds) return;  // an unknown name: nothing to show
    m_step = step;
    OnRunModeChanged(kind);
    StepDialog(kind)->Fill(m_step);
}

// --- plan files ---

void CProRunPlan::OnImport() {
    if (IsRunning()) return;
    QString path = QFileDialog::getOpenFileName(this, QString(), QString(), kPlanFilter);
    if (path.isEmpty()) return;
    if (!QFileInfo::exists(path) && QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".pla");
    ImportFile(path);
}

void CProRunPlan::OnExport() {
    if (IsRunning()) return;
    const QString path =
        QFileDialog::getSaveFileName(this, QString(), QStringLiteral("newplan.pla"), kPlanFilter);
    if (path.isEmpty()) return;
    ExportFile(path);
}

bool CProRunPlan::ImportFile(const QString& path) {
    if (IsRunning()) return false;
    PlanTable table;
    PlanReadReport report;
    std::string error;
    if (!ReadPlanFile(LocalPath(path), kControlPlanCells, table, &report, &error)) {
        // The grid keeps the plan it holds.
        ShowMessage(this, QStringLiteral("The plan file %1 could not be read:\n%2")
                              .arg(path, QString::fromStdString(error)));
        return false;
    }
    m_pGrid->SetRows(1);
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const int row = static_cast<int>(i) + 1;
        m_pGrid->AddItem(QString::number(row), row);
        const std::vector<std::string>& cells = table.rows[i];
        for (std::size_t c = 0; c < cells.size() && c < kPlanCells; ++c) {
            m_pGrid->SetTextMatrix(row, static_cast<int>(c) + 1, QString::fromStdString(cells[c]));
        }
    }
    m_pGrid->FitColumns();
    m_nTotal = table.totalCount;
    m_pTotal->setText(QString::number(table.totalCount));
    if (!report.Clean()) {
        QStringList rows;
        for (int r : report.badRows) rows << QString::number(r);
        // Only the first few are listed; a damaged file may have thousands.
        if (report.badRowCount > report.badRows.size()) {
            rows << QStringLiteral("... (%1 in all)").arg(report.badRowCount);
        }
        QString text = QStringLiteral("The plan file %1 is not laid out as expected.").arg(path);
        if (!rows.isEmpty()) {
            text += QStringLiteral("\nSteps %1 did not hold %2 cells; check them before running.")
                        .arg(rows.join(QStringLiteral(", ")))
                        .arg(kControlPlanCells);
        }
        if (report.ignoredLines > 0) {
            text += QStringLiteral("\n%1 lines after the last step were not loaded.")
                        .arg(report.ignoredLines);
        }
        ShowMessage(this, text);
    }
    return true;
}

bool CProRunPlan::ExportFile(const QString& path) {
    if (!ReadTotal()) return false;
    PlanTable table;
    table.totalCount = m_nTotal;
    for (int r = 1; r < m_pGrid->Rows(); ++r) table.rows.push_back(RowCells(r));
    std::string error;
    if (!WritePlanFile(LocalPath(path), table, kControlPlanCells, &error)) {
        ShowMessage(this, QStringLiteral("The plan file %1 could not be written:\n%2")
                              .arg(path, QString::fromStdString(error)));
        return false;
    }
    return true;
}

// --- running ---

void CProRunPlan::SetRunning(bool running) {
    for (int id : {IDC_INSERT, IDC_UPDATE, IDC_DELETE, IDC_IMPORT, IDC_EXPORT, IDC_RUN}) {
        Button(id)->setEnabled(!running);
    }
    Button(IDC_STOP)->setEnabled(running);
}

void CProRunPlan::OnRun() {
    if (IsRunning() || m_pMotion == nullptr) return;
    if (!ReadTotal()) return;
    // The run works on a copy: the worker never reads the widgets.
    std::vector<std::vector<std::string>> rows;
    for (int r = 1; r < m_pGrid->Rows(); ++r) rows.push_back(RowCells(r));
    // Every row is checked before the first motion.
    std::string why;
    if (const int bad = FirstBadPlanRow(rows, &why); bad != 0) {
        const QString text = QStringLiteral("Step %1 cannot run: %2. The plan was not started.")
                                 .arg(bad)
                                 .arg(QString::fromStdString(why));
        m_pStatus->setText(text);
        ShowMessage(this, text);
        return;
    }
    m_pProgress->setRange(0, 10000);
    m_pProgress->setValue(0);
    m_pStatus->clear();
    m_stop.Clear();
    m_bRunning = true;
    SetRunning(true);
    m_runThread = std::thread([this, rows = std::move(rows), total = m_nTotal]() mutable {
        RunMain(std::move(rows), total);
    });
}

void CProRunPlan::RunMain(std::vector<std::vector<std::string>> rows, int total) {
    PlanRunEvents events;
    events.progress = [this](int position) {
        QMetaObject::invokeMethod(
            this, [this, position] { m_pProgress->setValue(position); }, Qt::QueuedConnection);
    };
    const PlanRunResult result = RunPlan(*m_pMotion, rows, total, m_stop, events);
    QMetaObject::invokeMethod(
        this, [this, result] { OnRunEnded(result); }, Qt::QueuedConnection);
}

void CProRunPlan::OnRunEnded(PlanRunResult result) {
    if (m_runThread.joinable()) m_runThread.join();  // it has posted its last call
    m_bRunning = false;
    SetRunning(false);
    if (result.end == PlanRunEnd::kMotionFailed) {
        m_pStatus->setText(
            QStringLiteral("Step %1: the controller refused the motion (code %2); the run ended.")
                .arg(result.row)
                .arg(result.code));
    } else if (result.end == PlanRunEnd::kBadRow) {
        m_pStatus->setText(QStringLiteral("Step %1 cannot run: %2. The plan was not started.")
                               .arg(result.row)
                               .arg(QString::fromStdString(result.why)));
    } else if (result.end == PlanRunEnd::kStopped) {
        m_pStatus->setText(QStringLiteral("The run was stopped."));
    }
    emit runFinished();
}

void CProRunPlan::OnStop() {
    m_stop.Request();
    // Stop also halts the axes, not only the plan. One stop at a time: a
    // stop still waiting for its reply already does the job.
    if (m_pMotion == nullptr || !m_bStopSent.load()) return;
    if (m_stopThread.joinable()) m_stopThread.join();  // it has finished
    m_bStopSent = false;
    PlanMotion* motion = m_pMotion;
    m_stopThread = std::thread([this, motion] {
        motion->StopAxes();
        m_bStopSent = true;
    });
}

bool CProRunPlan::PrepareToClose() {
    if (!IsRunning()) return true;
    m_stop.Request();
    return false;
}

// --- the window ---

CPlanRunWindow::CPlanRunWindow(CKORVAKT3002Ctrl* control, QWidget* parent)
    : QDialog(parent), m_pPage(new CProRunPlan(control, this)) {
    setWindowTitle(m_pPage->Caption());
    setWindowIcon(ControlIcon());
    setProperty("dialogId", CProRunPlan::kTemplate);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(m_pPage);
    setModal(true);
    connect(m_pPage, &CProRunPlan::runFinished, this, [this] {
        if (!m_pendingResult) return;
        const int result = *m_pendingResult;
        m_pendingResult.reset();
        QDialog::done(result);
    });
}

void CPlanRunWindow::done(int result) {
    if (!m_pPage->PrepareToClose()) {
        m_pendingResult = result;  // closes when the run has ended
        return;
    }
    QDialog::done(result);
}

}  // namespace korva::ui
