#include "PlanRunDlg.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QRadioButton>

#include "AppMessage.h"
#include "ControlAdapter.h"
#include "DialogFields.h"
#include "GridWidget.h"
#include "KT300Doc.h"
#include "KT300View.h"
#include "NumText.h"
#include "PanelRun.h"
#include "PanelSteps.h"
#include "PlanFile.h"
#include "Resource.h"
#include "UserMessageBridge.h"

namespace stagedesk {
namespace {

using plan::PanelKind;

constexpr std::array<int, 7> kKindRadios = {1081, 1102, 1103, 1087, 1104, 1083, 1108};
const QString kPlanFilter = QStringLiteral("KT200 (*.pla);;All files (*)");

std::string LocalPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

}  // namespace

QString CPlanRunDlg::DefaultGridFormat() {
    return QStringLiteral(
        "^Step|^RunMode|^RunCounts|^Anxi1|^Anxi2|^Anxi3|^Distance1|^Distance2|^Distance3|^State|"
        "^WaitTime(ms)|^Workstate|^Dir|^CenPosx|^CenPosy|^TargetPosx|^TargetPosy|^Unit|^Speed");
}

const std::array<int, 7>& CPlanRunDlg::KindRadioIds() {
    return kKindRadios;
}

const std::vector<CPlanRunDlg::FieldDef>& CPlanRunDlg::FieldsOf(int kind) {
    using F = FieldType;
    using namespace plan;
    static const std::array<std::vector<FieldDef>, kPanelKinds> kFields = {{
        // GoArc
        {{1067, "Run counts", F::kInt, kCellRunCount + 1},
         {1062, "Axis 1", F::kAxis, kCellAxis1 + 1},
         {1063, "Axis 2", F::kAxis, kCellAxis2 + 1},
         {1064, "Direction", F::kDir, kCellDir + 1},
         {1069, "Target X", F::kFloat, kCellTargetX + 1},
         {1070, "Target Y", F::kFloat, kCellTargetY + 1},
         {1072, "Centre X", F::kFloat, kCellCentreX + 1},
         {1071, "Centre Y", F::kFloat, kCellCentreY + 1},
         {1068, "Wait (ms)", F::kInt, kCellWait + 1},
         {1177, "Unit", F::kUnit, kCellUnit + 1},
         {1020, "Speed", F::kSpeed, kCellSpeed + 1}},
        // Goline3
        {{1144, "Run counts", F::kInt, kCellRunCount + 1},
         {1140, "Axis 1", F::kAxis, kCellAxis1 + 1},
         {1141, "Axis 2", F::kAxis, kCellAxis2 + 1},
         {1076, "Axis 3", F::kAxis, kCellAxis3 + 1},
         {1073, "Distance 1", F::kFloat, kCellDistance1 + 1},
         {1074, "Distance 2", F::kFloat, kCellDistance2 + 1},
         {1075, "Distance 3", F::kFloat, kCellDistance3 + 1},
         {1145, "Wait (ms)", F::kInt, kCellWait + 1},
         {1179, "Unit", F::kUnit, kCellUnit + 1},
         {1021, "Speed", F::kSpeed, kCellSpeed + 1}},
        // GoHome
        {{1147, "Axis", F::kAxis, kCellAxis1 + 1}, {1022, "Home speed", F::kSpeed, kCellSpeed + 1}},
        // Goline2
        {{1124, "Run counts", F::kInt, kCellRunCount + 1},
         {1116, "Axis 1", F::kAxis, kCellAxis1 + 1},
         {1117, "Axis 2", F::kAxis, kCellAxis2 + 1},
         {1120, "Distance 1", F::kFloat, kCellDistance1 + 1},
         {1121, "Distance 2", F::kFloat, kCellDistance2 + 1},
         {1125, "Wait (ms)", F::kInt, kCellWait + 1},
         {1175, "Unit", F::kUnit, kCellUnit + 1},
         {1023, "Speed", F::kSpeed, kCellSpeed + 1}},
        // GoPosition
        {{1160, "Run counts", F::kInt, kCellRunCount + 1},
         {1157, "Axis", F::kAxis, kCellAxis1 + 1},
         {1165, "Distance", F::kFloat, kCellDistance1 + 1},
         {1077, "State (A/R)", F::kState, kCellState + 1},
         {1078, "Work (C/O)", F::kWork, kCellWorkState + 1},
         {1163, "Direction", F::kDir, kCellDir + 1},
         {1161, "Wait (ms)", F::kInt, kCellWait + 1},
         {1181, "Unit", F::kUnit, kCellUnit + 1},
         {1024, "Speed", F::kSpeed, kCellSpeed + 1}},
        // GoOrigion
        {{1111, "Axis", F::kAxis, kCellAxis1 + 1}},
        // GoOpticsHome
        {{1112, "Axis", F::kAxis, kCellAxis1 + 1}},
    }};
    static const std::vector<FieldDef> kNone;
    return kind >= 0 && kind < kPanelKinds ? kFields[static_cast<std::size_t>(kind)] : kNone;
}

CPlanRunDlg::CPlanRunDlg(CKT300View* view, QWidget* parent) : QWidget(parent), m_pView(view) {
    m_adapter = std::make_unique<plan::ControlAdapter>(view->Control());
    m_pControl = m_adapter.get();
    Init([view](const char* key) { return view->GetText(key); }, {});
}

CPlanRunDlg::CPlanRunDlg(plan::PlanControl* control, TextLookup texts, QWidget* parent,
                         plan::CompletionTiming timing)
    : QWidget(parent), m_pControl(control) {
    Init(std::move(texts), timing);
}

CPlanRunDlg::~CPlanRunDlg() {
    StopThreads();
}

void CPlanRunDlg::Init(TextLookup texts, plan::CompletionTiming timing) {
    m_texts = std::move(texts);
    // Message 1125: the completion thread hands the positions to the GUI
    // thread with a queued call and goes on; nothing waits for the window.
    m_waiter = std::make_unique<plan::CompletionWaiter>(
        *m_pControl, m_nStop,
        [this](const plan::AxisPositions& positions) {
            QMetaObject::invokeMethod(
                this, [this, positions] { ShowPositions(positions); }, Qt::QueuedConnection);
        },
        timing);
    CreateControls();
    new PanelKeyFilter(this);
    SelectKind(plan::kKindArc);
    m_pGrid->SetFormatString(DefaultGridFormat());
    m_pGrid->SetRows(1);
}

void CPlanRunDlg::CreateControls() {
    m_pGrid = MakeControl<korva::CGridWidget>(this, IDC_GRID, QRect(10, 10, 750, 128));
    connect(m_pGrid, &korva::CGridWidget::cellClicked, this,
            [this](int row, int) { OnGridClick(row); });

    m_pKinds = new QButtonGroup(this);
    // One box per kind, up to ten fields to a row; the layout keeps the panel
    // inside the view at the frame's fixed size.
    MakeKindBox(plan::kKindArc, QRect(10, 142, 750, 114), 10);
    MakeKindBox(plan::kKindLine3, QRect(10, 260, 750, 68), 10);
    MakeKindBox(plan::kKindLine2, QRect(10, 332, 750, 68), 10);
    MakeKindBox(plan::kKindPosition, QRect(10, 404, 750, 68), 10);
    MakeKindBox(plan::kKindHome, QRect(10, 476, 248, 68), 3);
    MakeKindBox(plan::kKindOrigin, QRect(262, 476, 246, 68), 3);
    MakeKindBox(plan::kKindOpticsHome, QRect(512, 476, 248, 68), 3);
    connect(m_pKinds, &QButtonGroup::idClicked, this, [this](int kind) { SelectKind(kind); });

    struct ButtonDef {
        int id;
        const char* text;
        void (CPlanRunDlg::*handler)();
    };
    const ButtonDef buttons[] = {{IDC_INSERT, "Insert", &CPlanRunDlg::OnInsert},
                                 {IDC_DELETE, "Delete", &CPlanRunDlg::OnDelete},
                                 {IDC_UPDATE, "Update", &CPlanRunDlg::OnUpdate},
                                 {IDC_IMPORT, "Import", &CPlanRunDlg::OnImport},
                                 {IDC_EXPORT, "Export", &CPlanRunDlg::OnExport},
                                 {IDC_RUN, "Run", &CPlanRunDlg::OnRun},
                                 {IDC_STOP, "Stop", &CPlanRunDlg::OnStop}};
    int y = 10;
    for (const ButtonDef& b : buttons) {
        auto* button = MakeControl<QPushButton>(this, b.id, QRect(768, y, 122, 26),
                                                QString::fromLatin1(b.text));
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, b.handler);
        y += 30;
    }

    auto labelled = [this](int id, const char* label, int top, bool readOnly, const QString& text) {
        MakeControl<QLabel>(this, id + 1000, QRect(768, top, 122, 18), QString::fromLatin1(label));
        auto* edit = MakeControl<QLineEdit>(this, id, QRect(768, top + 18, 122, 24), text);
        edit->setReadOnly(readOnly);
        return edit;
    };
    labelled(IDC_TOTAL, "Total counts", 222, false, QStringLiteral("1"));
    labelled(IDC_REPETITION, "Current pass", 268, true, QString());
    const char* const positions[] = {"X position", "Y position", "Z position", "T position"};
    for (int a = 0; a < plan::kPlanAxes; ++a) {
        labelled(IDC_POSITION_X + 2 * a, positions[a], 318 + a * 44, true, QStringLiteral("0"));
    }
    m_pStatus = MakeControl<QLabel>(this, 0, QRect(768, 500, 122, 120));
    m_pStatus->setWordWrap(true);
    m_pStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void CPlanRunDlg::MakeKindBox(int kind, const QRect& box, int columns) {
    auto* frame = new QFrame(this);
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setGeometry(box);
    frame->lower();
    auto* radio = MakeControl<QRadioButton>(this, kKindRadios[static_cast<std::size_t>(kind)],
                                            QRect(box.x() + 6, box.y() + 2, 200, 20),
                                            QString::fromLatin1(plan::PanelKindName(kind)));
    m_pKinds->addButton(radio, kind);
    m_pKindRadio[static_cast<std::size_t>(kind)] = radio;
    const std::vector<FieldDef>& fields = FieldsOf(kind);
    const int step = (box.width() - 8) / columns;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const FieldDef& f = fields[i];
        const int x = box.x() + 4 + static_cast<int>(i) % columns * step;
        const int y = box.y() + 22 + static_cast<int>(i) / columns * 46;
        auto* label = MakeControl<QLabel>(this, f.id + 1000, QRect(x, y, step - 2, 16),
                                          QString::fromLatin1(f.label));
        label->setToolTip(label->text());
        const QRect r(x, y + 16, 71, 24);
        switch (f.type) {
            case FieldType::kInt:
                MakeControl<QLineEdit>(
                    this, f.id, r,
                    f.cell == plan::kCellWait + 1 ? QStringLiteral("0") : QStringLiteral("1"));
                break;
            case FieldType::kFloat:
                MakeControl<QLineEdit>(this, f.id, r, QStringLiteral("0"));
                break;
            case FieldType::kSpeed:
                MakeControl<QLineEdit>(this, f.id, r, QStringLiteral("10"));
                break;
            default: {
                auto* list = MakeControl<QComboBox>(this, f.id, r);
                switch (f.type) {
                    case FieldType::kAxis:
                        list->addItems({"X", "Y", "Z", "T"});
                        list->setCurrentIndex(0);
                        break;
                    case FieldType::kDir:
                        list->addItems({"N", "P"});
                        list->setCurrentIndex(0);
                        break;
                    case FieldType::kState:
                        list->addItems({"A", "R"});
                        list->setCurrentIndex(1);
                        break;
                    case FieldType::kWork:
                        list->addItems({"C", "O"});
                        list->setCurrentIndex(1);
                        break;
                    default:
                        // The unit may also be typed ("step" for "PP").
                        list->setEditable(true);
                        list->setInsertPolicy(QComboBox::NoInsert);
                        list->addItems({"deg", "mm", "PP", "um"});
                        list->setCurrentIndex(2);
                        break;
                }
                break;
            }
        }
    }
}

void CPlanRunDlg::ApplyLanguage(const CKT300Doc& doc) {
    doc.ApplyDialogTexts(this, IDD_PLANRUN);
}

void CPlanRunDlg::SetGridHeaderFormat(const QString& format) {
    m_strGridHeader = format;
    // A missing or short header would drop cells: keep the 19 columns.
    m_pGrid->SetFormatString(
        korva::CGridWidget::FormatColumns(format) == kGridColumns ? format : DefaultGridFormat());
    m_pGrid->FitColumns();
}

QString CPlanRunDlg::Text(const char* key) const {
    return m_texts ? m_texts(key) : QString::fromLatin1(key);
}

QAbstractButton* CPlanRunDlg::Button(int controlId) const {
    return FindControlAs<QAbstractButton>(const_cast<CPlanRunDlg*>(this), controlId);
}

QWidget* CPlanRunDlg::Field(int controlId) const {
    QWidget* w = FindControl(const_cast<CPlanRunDlg*>(this), controlId);
    if (qobject_cast<QLineEdit*>(w) != nullptr || qobject_cast<QComboBox*>(w) != nullptr) return w;
    return nullptr;
}

QLineEdit* CPlanRunDlg::Edit(int controlId) const {
    return qobject_cast<QLineEdit*>(Field(controlId));
}

QComboBox* CPlanRunDlg::List(int controlId) const {
    return qobject_cast<QComboBox*>(Field(controlId));
}

// --- editing ---

void CPlanRunDlg::SelectKind(int kind) {
    if (kind < 0 || kind >= plan::kPanelKinds) return;
    m_nKind = kind;
    m_pKindRadio[static_cast<std::size_t>(kind)]->setChecked(true);
}

bool CPlanRunDlg::CheckFields(int kind) {
    for (const FieldDef& f : FieldsOf(kind)) {
        switch (f.type) {
            case FieldType::kInt: {
                std::int32_t value = 0;
                if (!ReadIntField(Edit(f.id), value)) return false;
                break;
            }
            case FieldType::kFloat: {
                float value = 0;
                if (!ReadFloatField(Edit(f.id), value)) return false;
                break;
            }
            case FieldType::kSpeed: {
                float number = 0;
                if (!ReadFloatField(Edit(f.id), number)) return false;
                // The range is checked on the text's own value: as a float
                // 100000001 would round to the limit and pass.
                const double value = Edit(f.id)->text().trimmed().toDouble();
                if (value < 0 || value > kSpeedMax) {
                    ShowMessage(this,
                                QStringLiteral("Please enter a number between 0 and 100000000."),
                                MsgIcon::Warning);
                    Edit(f.id)->setFocus();
                    Edit(f.id)->selectAll();
                    return false;
                }
                break;
            }
            case FieldType::kUnit: {
                QComboBox* list = List(f.id);
                const QString unit = list->currentText().trimmed();
                if (plan::UnitIndexOf(unit.toStdString()) < 0) {
                    ShowMessage(
                        this,
                        QStringLiteral("The unit \"%1\" is not one of deg, mm, PP (step), um.")
                            .arg(unit),
                        MsgIcon::Warning);
                    list->setFocus();
                    return false;
                }
                break;
            }
            default:
                break;  // the lists hold only valid letters
        }
    }
    return true;
}

bool CPlanRunDlg::ReadRepetitions(int& repetitions) {
    std::int32_t value = 0;
    if (!ReadIntField(Edit(IDC_TOTAL), value)) return false;
    repetitions = value;
    return true;
}

void CPlanRunDlg::WriteFields(int kind, int row) {
    m_pGrid->SetTextMatrix(row, 1, QString::fromLatin1(plan::PanelKindName(kind)));
    for (const FieldDef& f : FieldsOf(kind)) {
        QWidget* w = Field(f.id);
        QString text;
        if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            text = edit->text().trimmed();
        } else if (auto* list = qobject_cast<QComboBox*>(w)) {
            text = list->currentText().trimmed();
        }
        m_pGrid->SetTextMatrix(row, f.cell, text);
    }
}

void CPlanRunDlg::Renumber() {
    for (int r = 1; r < m_pGrid->Rows(); ++r) m_pGrid->SetTextMatrix(r, 0, QString::number(r));
}

std::vector<std::string> CPlanRunDlg::RowCells(int row) const {
    std::vector<std::string> cells(plan::kPanelCells);
    for (int c = 0; c < plan::kPanelCells; ++c) {
        cells[static_cast<std::size_t>(c)] = m_pGrid->TextMatrix(row, c + 1).toStdString();
    }
    return cells;
}

void CPlanRunDlg::OnInsert() {
    const int kind = m_nKind;
    int repetitions = 0;
    if (!CheckFields(kind) || !ReadRepetitions(repetitions)) return;
    const auto axis = [this](int id) { return List(id)->currentIndex(); };
    if (kind == plan::kKindArc || kind == plan::kKindLine2) {
        const bool arc = kind == plan::kKindArc;
        if (axis(arc ? 1062 : 1116) == axis(arc ? 1063 : 1117)) {
            ShowMessage(this, Text("IDS_ERROR_ANXITWO"), MsgIcon::Warning);
            return;
        }
    } else if (kind == plan::kKindLine3) {
        const int a = axis(1140), b = axis(1141), c = axis(1076);
        if (a == b || a == c || b == c) {
            ShowMessage(this, Text("IDS_ERROR_ANXITHREE"), MsgIcon::Warning);
            return;
        }
    }
    const int row = m_pGrid->Row() + 1;
    m_pGrid->AddItem(QString::number(row), row);
    WriteFields(kind, row);
    Renumber();
    m_pGrid->FitColumns();
    // The new step becomes current, so the next one goes below it.
    m_pGrid->SetRow(row);
}

void CPlanRunDlg::OnDelete() {
    if (m_pGrid->Rows() <= 2) {
        m_pGrid->SetRows(1);
        return;
    }
    const int row = m_pGrid->Row();
    if (row < 1) return;  // the header is not a step
    m_pGrid->RemoveItem(row);
    Renumber();
}

void CPlanRunDlg::OnUpdate() {
    const int row = m_pGrid->Row();
    if (row < 1) return;
    const int kind = plan::PanelKindOf(m_pGrid->TextMatrix(row, 1).toStdString());
    if (kind == plan::kKindUnknown || !CheckFields(kind)) return;
    WriteFields(kind, row);
    m_pGrid->FitColumns();
}

void CPlanRunDlg::OnGridClick(int row) {
    if (row < 1 || row >= m_pGrid->Rows()) return;
    m_pGrid->SetRow(row);
    const int kind = plan::PanelKindOf(m_pGrid->TextMatrix(row, 1).toStdString());
    if (kind == plan::kKindUnknown) return;
    SelectKind(kind);
    for (const FieldDef& f : FieldsOf(kind)) {
        const QString text = m_pGrid->TextMatrix(row, f.cell);
        QWidget* w = Field(f.id);
        if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            edit->setText(text);
        } else if (auto* list = qobject_cast<QComboBox*>(w)) {
            const int index = list->findText(text);
            if (index >= 0) {
                list->setCurrentIndex(index);
            } else if (list->isEditable()) {
                list->setEditText(text);
            }
        }
    }
}

// --- plan files ---

void CPlanRunDlg::OnImport() {
    QString path = QFileDialog::getOpenFileName(this, QString(), QString(), kPlanFilter);
    if (path.isEmpty()) return;
    if (!QFileInfo::exists(path) && QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".pla");
    ImportFile(path);
}

void CPlanRunDlg::OnExport() {
    const QString path =
        QFileDialog::getSaveFileName(this, QString(), QStringLiteral("newplan.pla"), kPlanFilter);
    if (!path.isEmpty()) ExportFile(path);
}

bool CPlanRunDlg::ImportFile(const QString& path) {
    korva::PlanTable table;
    korva::PlanReadReport report;
    std::string error;
    if (!korva::ReadPlanFile(LocalPath(path), korva::kStagedeskPlanCells, table, &report, &error)) {
        // The grid keeps the plan it holds.
        ShowMessage(this,
                    QStringLiteral("The plan file %1 could not be read:\n%2")
                        .arg(path, QString::fromStdString(error)),
                    MsgIcon::Warning);
        return false;
    }
    m_pGrid->SetRows(1);
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const int row = static_cast<int>(i) + 1;
        m_pGrid->AddItem(QString::number(row), row);
        const std::vector<std::string>& cells = table.rows[i];
        for (std::size_t c = 0; c < cells.size() && c < plan::kPanelCells; ++c) {
            m_pGrid->SetTextMatrix(row, static_cast<int>(c) + 1, QString::fromStdString(cells[c]));
        }
    }
    m_pGrid->FitColumns();
    Edit(IDC_TOTAL)->setText(QString::number(table.totalCount));
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
                        .arg(korva::kStagedeskPlanCells);
        }
        if (report.ignoredLines > 0) {
            text += QStringLiteral("\n%1 lines after the last step were not loaded.")
                        .arg(report.ignoredLines);
        }
        ShowMessage(this, text, MsgIcon::Warning);
    }
    return true;
}

bool CPlanRunDlg::ExportFile(const QString& path) {
    int repetitions = 0;
    if (!ReadRepetitions(repetitions)) return false;
    korva::PlanTable table;
    table.totalCount = repetitions;
    for (int r = 1; r < m_pGrid->Rows(); ++r) table.rows.push_back(RowCells(r));
    std::string error;
    if (!korva::WritePlanFile(LocalPath(path), table, korva::kStagedeskPlanCells, &error)) {
        ShowMessage(this,
                    QStringLiteral("The plan file %1 could not be written:\n%2")
                        .arg(path, QString::fromStdString(error)),
                    MsgIcon::Warning);
        return false;
    }
    return true;
}

// --- running ---

void CPlanRunDlg::OnRun() {
    if (m_bShutDown || IsRunning() || m_pControl == nullptr || !m_strStartBlocked.isEmpty()) return;
    int repetitions = 0;
    if (!ReadRepetitions(repetitions)) return;
    // The run works on a copy: the worker never reads the widgets, and
    // editing the grid meanwhile does not change the running plan.
    std::vector<std::vector<std::string>> rows;
    for (int r = 1; r < m_pGrid->Rows(); ++r) rows.push_back(RowCells(r));
    // Every row is checked before the first move: a skipped row would leave
    // every later relative move starting from an unplanned place.
    std::string problem;
    if (const int bad = plan::FirstBadRow(rows, &problem); bad != 0) {
        const QString text = QStringLiteral("Step %1 cannot run: %2. The plan was not started.")
                                 .arg(bad)
                                 .arg(QString::fromStdString(problem));
        m_pStatus->setText(text);
        ShowMessage(this, text, MsgIcon::Warning);
        return;
    }
    if (m_runThread.joinable()) m_runThread.join();
    m_nStop = 0;             // before the thread starts, so an early Stop is not lost
    m_waiter->ResetAbort();  // a Stop all ended the last run's wait
    m_bRunning = true;
    m_pStatus->clear();
    Button(IDC_RUN)->setEnabled(false);
    emit RunStarted();
    m_runThread = std::thread([this, rows = std::move(rows), repetitions]() mutable {
        RunMain(std::move(rows), repetitions);
    });
}

void CPlanRunDlg::RunMain(std::vector<std::vector<std::string>> rows, int repetitions) {
    plan::PanelRunEvents events;
    events.repetition = [this](int r) {
        QMetaObject::invokeMethod(
            this, [this, r] { Edit(IDC_REPETITION)->setText(QString::number(r)); },
            Qt::QueuedConnection);
    };
    events.badRow = [this](int row, const std::string& why) {
        const QString text = QStringLiteral("Step %1 cannot run: %2. The plan was not started.")
                                 .arg(row)
                                 .arg(QString::fromStdString(why));
        QMetaObject::invokeMethod(
            this, [this, text] { m_pStatus->setText(text); }, Qt::QueuedConnection);
    };
    events.refused = [this](int row, const std::string& call, int code) {
        QMetaObject::invokeMethod(
            this,
            [this, row, call = QString::fromStdString(call), code] {
                const QString text =
                    QStringLiteral("Step %1: %2 was refused (code %3, %4). The run ended there.")
                        .arg(row)
                        .arg(call)
                        .arg(code)
                        .arg(CKT300View::ErrorCodeText(code));
                m_pStatus->setText(text);
                if (m_pView != nullptr) m_pView->ReportFailure(call, code);
                ShowMessage(this, text, MsgIcon::Warning);
            },
            Qt::QueuedConnection);
    };
    plan::RunPanelPlan(*m_pControl, rows, repetitions, m_nStop, *m_waiter, events);
    QMetaObject::invokeMethod(
        this, [this] { OnRunEnded(); }, Qt::QueuedConnection);
}

void CPlanRunDlg::OnRunEnded() {
    if (m_runThread.joinable()) m_runThread.join();  // it has posted its last call
    m_bRunning = false;
    if (!m_bShutDown) Button(IDC_RUN)->setEnabled(m_strStartBlocked.isEmpty());
    emit RunFinished();
}

void CPlanRunDlg::OnStop() {
    m_nStop = 1;
}

void CPlanRunDlg::StopRun() {
    m_nStop = 1;
    if (m_bRunning && m_waiter) m_waiter->AbortStopped();
}

void CPlanRunDlg::SetStartBlocked(const QString& reason) {
    m_strStartBlocked = reason;
    QAbstractButton* run = Button(IDC_RUN);
    run->setToolTip(reason);
    if (!m_bRunning) run->setEnabled(reason.isEmpty() && !m_bShutDown);
}

void CPlanRunDlg::ShowPositions(const plan::AxisPositions& positions) {
    for (int a = 0; a < plan::kPlanAxes; ++a) {
        const auto i = static_cast<std::size_t>(a);
        if (!positions.used[i]) continue;
        Edit(IDC_POSITION_X + 2 * a)
            ->setText(QString::fromStdString(korva::FormatFixed(positions.position[i], 0)));
        if (m_pView != nullptr) m_pView->SetReadout(a, positions.position[i]);
    }
}

void CPlanRunDlg::StopThreads() {
    m_bShutDown = true;
    m_nStop = 1;  // the completion thread stops the used axes
    if (m_waiter) m_waiter->Abort();
    if (m_runThread.joinable()) {
        // The run thread may be reporting a library message: let it go on.
        GuiBlockingScope blocking;
        m_runThread.join();
    }
    m_bRunning = false;
}

}  // namespace stagedesk
