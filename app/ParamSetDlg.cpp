#include "ParamSetDlg.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <array>

#include "AppMessage.h"
#include "DialogFields.h"
#include "KORVAKT3002.h"
#include "KT300Doc.h"
#include "KT300View.h"
#include "Resource.h"
#include "SingleRunDlg.h"

namespace stagedesk {
namespace {

constexpr std::array<int, 4> kRadioIds = {IDC_PS_RADIO_X, IDC_PS_RADIO_Y, IDC_PS_RADIO_Z,
                                          IDC_PS_RADIO_T};
constexpr std::array<const char*, 4> kUnitTexts = {"deg", "mm", "PP", "um"};
constexpr int kFactoryWaitMs = 3000;
// A field's label carries the field's id plus 1000, its fixed unit note the
// id plus 2000 (the language files address them so).
constexpr int kLabelIdOffset = 1000;
constexpr int kNoteIdOffset = 2000;

// Rows of the three parameter groups.
constexpr int kRowHeight = 32;
constexpr int kLabelWidth = 150;
constexpr int kFieldWidth = 150;

QString ResolutionUnit(int stageStyle) {
    return stageStyle == 1 ? QStringLiteral("deg/PP") : QStringLiteral("um/PP");
}

void SelectText(QComboBox* combo, const QString& text) {
    combo->setCurrentIndex(combo->findText(text));
}

}  // namespace

CParamSetDlg::CParamSetDlg(CKT300View* view, QWidget* parent) : QWidget(parent), m_pView(view) {
    setFocusPolicy(Qt::ClickFocus);
    CreateControls();
    DefineFields();
    new PanelKeyFilter(this);
    // Initial choices until the first reload.
    qobject_cast<QRadioButton*>(FindControl(this, IDC_PS_RADIO_X))->setChecked(true);
    SetEncoderList(0);
    SetUnitLabels(1);
    RefreshControls();
}

CKORVAKT3002& CParamSetDlg::Control() const {
    return m_pView->Control();
}
QString CParamSetDlg::Text(const char* key) const {
    return m_pView->GetText(key);
}

QLineEdit* CParamSetDlg::Edit(int controlId) const {
    return FindControlAs<QLineEdit>(const_cast<CParamSetDlg*>(this), controlId);
}
QComboBox* CParamSetDlg::Combo(int controlId) const {
    return FindControlAs<QComboBox>(const_cast<CParamSetDlg*>(this), controlId);
}
QLabel* CParamSetDlg::Label(int controlId) const {
    return FindControlAs<QLabel>(const_cast<CParamSetDlg*>(this), controlId);
}
QPushButton* CParamSetDlg::PushButton(int controlId) const {
    return FindControlAs<QPushButton>(const_cast<CParamSetDlg*>(this), controlId);
}

void CParamSetDlg::ApplyLanguage(const CKT300Doc& doc) {
    doc.ApplyDialogTexts(this, IDD_PARAMSET);
}

// --- controls ---

void CParamSetDlg::AddEditRow(QWidget* parent, int x, int y, const char* label, int id,
                              const char* unit, int unitId) {
    MakeControl<QLabel>(parent, id + kLabelIdOffset, QRect(x, y + 2, kLabelWidth, 24),
                        QString::fromUtf8(label));
    auto* edit = MakeControl<QLineEdit>(parent, id, QRect(x + kLabelWidth, y, kFieldWidth, 28));
    edit->installEventFilter(this);
    if (unit != nullptr) {
        MakeControl<QLabel>(parent, unitId, QRect(x + kLabelWidth + kFieldWidth + 8, y + 2, 90, 24),
                            QString::fromUtf8(unit));
    }
}

QComboBox* CParamSetDlg::AddListRow(int x, int y, const char* label, int id,
                                    const QStringList& items) {
    MakeControl<QLabel>(this, id + kLabelIdOffset, QRect(x, y + 2, kLabelWidth, 24),
                        QString::fromUtf8(label));
    auto* combo = MakeControl<QComboBox>(this, id, QRect(x + kLabelWidth, y, kFieldWidth, 28));
    combo->addItems(items);
    return combo;
}

void CParamSetDlg::CreateControls() {
    MakeControl<QGroupBox>(this, IDC_PS_GROUP_OUTER, QRect(10, 4, 880, 76),
                           QString::fromUtf8("参数设置"));
    MakeControl<QGroupBox>(this, IDC_PS_AXISGROUP, QRect(20, 22, 440, 50), QStringLiteral("Axis"));
    m_pAxisGroup = new QButtonGroup(this);
    const std::array<const char*, 4> names = {"X", "Y", "Z", "T"};
    for (int i = 0; i < 4; ++i) {
        auto* radio = MakeControl<QRadioButton>(this, kRadioIds[i], QRect(40 + i * 100, 42, 80, 24),
                                                QString::fromLatin1(names[i]));
        m_pAxisGroup->addButton(radio, i);
    }
    connect(m_pAxisGroup, &QButtonGroup::idClicked, this, [this](int axis) { SelectAxis(axis); });
    auto* reload = MakeControl<QPushButton>(this, IDC_PS_RELOAD, QRect(490, 34, 150, 32),
                                            QStringLiteral("Reload"));
    auto* factory = MakeControl<QPushButton>(this, IDC_PS_FACTORY, QRect(660, 34, 200, 32),
                                             QString::fromUtf8("恢复出厂设置"));
    reload->setAutoDefault(false);
    factory->setAutoDefault(false);
    connect(reload, &QPushButton::clicked, this, [this] { ReloadAll(); });
    connect(factory, &QPushButton::clicked, this, [this] { OnFactorySettings(); });

    MakeControl<QGroupBox>(this, IDC_PS_GROUP_PARAM, QRect(10, 86, 880, 440),
                           QString::fromUtf8("参数设置"));

    // Base parameters.
    MakeControl<QGroupBox>(this, IDC_PS_GROUP_BASE, QRect(20, 106, 430, 256),
                           QString::fromUtf8("基本参数"));
    int x = 32;
    int y = 130;
    auto* stage = AddListRow(x, y, "StageStyle", IDC_PS_STAGESTYLE, {"Linear", "Rotate"});
    connect(stage, &QComboBox::activated, this, [this](int i) { OnStageStyleChanged(i); });
    AddEditRow(this, x, y += kRowHeight, "StagePitch", IDC_PS_PITCH, "mm", IDC_PS_UNIT_LEN_FIRST);
    AddEditRow(this, x, y += kRowHeight, "DriveRat", IDC_PS_DRIVERAT, nullptr, 0);
    AddEditRow(this, x, y += kRowHeight, "Radius", IDC_PS_RADIUS, "mm", IDC_PS_UNIT_LEN_FIRST + 1);
    AddEditRow(this, x, y += kRowHeight, "Steps/Rev", IDC_PS_STAGESTEPS, "PP/r",
               IDC_PS_STAGESTEPS + kNoteIdOffset);
    auto* work = AddListRow(x, y += kRowHeight, "Workstate", IDC_PS_WORKSTATE, {"Close", "Open"});
    connect(work, &QComboBox::activated, this, [this] { WriteList(IDC_PS_WORKSTATE); });
    auto* enc = AddListRow(x, y += kRowHeight, "EncoderStyle", IDC_PS_ENCODER, {"Linear"});
    connect(enc, &QComboBox::activated, this, [this] { WriteList(IDC_PS_ENCODER); });

    // Position parameters.
    MakeControl<QGroupBox>(this, IDC_PS_GROUP_POS, QRect(460, 106, 420, 192),
                           QString::fromUtf8("位置参数"));
    x = 472;
    y = 130;
    AddEditRow(this, x, y, "PositiveLimit", IDC_PS_LIMITPOS, "mm", IDC_PS_UNIT_LEN_FIRST + 2);
    AddEditRow(this, x, y += kRowHeight, "NegativeLimit", IDC_PS_LIMITNEG, "mm",
               IDC_PS_UNIT_LEN_FIRST + 3);
    AddEditRow(this, x, y += kRowHeight, "EncoderResolution", IDC_PS_RESOLUTION, "um/PP",
               IDC_PS_RESUNIT);
    AddEditRow(this, x, y += kRowHeight, "offset", IDC_PS_OFFSET, "mm", IDC_PS_UNIT_LEN_FIRST + 4);
    auto* limit =
        AddListRow(x, y += kRowHeight, "Limitable", IDC_PS_LIMITABLE, {"Enable", "Disable"});
    connect(limit, &QComboBox::activated, this, [this] { WriteList(IDC_PS_LIMITABLE); });

    // Run parameters.
    MakeControl<QGroupBox>(this, IDC_PS_GROUP_RUN, QRect(460, 306, 420, 210),
                           QString::fromUtf8("运动参数"));
    y = 330;
    AddEditRow(this, x, y, "Speed", IDC_PS_SPEED, "mm/s", IDC_PS_UNIT_SPEED);
    AddEditRow(this, x, y += kRowHeight, "InitSpeed", IDC_PS_INITSPEED, "mm/s",
               IDC_PS_UNIT_INITSPEED);
    AddEditRow(this, x, y += kRowHeight, "AccSpeed", IDC_PS_ACCSPEED, "mm/s*s", IDC_PS_UNIT_ACC);
    AddEditRow(this, x, y += kRowHeight, "HomeSpeed", IDC_PS_HOMESPEED, "mm/s",
               IDC_PS_UNIT_HOMESPEED);
    auto* unit = AddListRow(x, y += kRowHeight, "Unit", IDC_PS_UNIT, {"deg", "mm", "PP", "um"});
    connect(unit, &QComboBox::activated, this, [this](int i) { OnUnitChanged(i); });

    // Unit labels of fields this layout does not show (deceleration, the
    // length fields of older layouts): kept so every unit label relabels.
    for (int id : {IDC_PS_UNIT_ACC2, IDC_PS_UNIT_LEN_FIRST + 5, IDC_PS_UNIT_LEN_EXTRA}) {
        MakeControl<QLabel>(this, id, QRect(0, 0, 80, 24), QStringLiteral("mm"))->hide();
    }

    MakeControl<QLabel>(this, IDC_PS_STATUS, QRect(20, 534, 560, 24), QString());
    // Reload-all and the factory reset show how far they are.
    m_pProgress = new QProgressBar(this);
    m_pProgress->setGeometry(600, 534, 280, 22);
    m_pProgress->setRange(0, kReloadReads);
    m_pProgress->hide();
    m_pFactoryTimer = new QTimer(this);
    m_pFactoryTimer->setSingleShot(true);
    MakeControl<QLabel>(this, IDC_PS_HINT, QRect(20, 562, 860, 24),
                        QString::fromUtf8("输入数值，左键单击空白处，设置要修改参数"));
}

void CParamSetDlg::DefineFields() {
    CKORVAKT3002* c = &Control();
    m_fields = {
        {IDC_PS_PITCH, FieldKind::Float, true, &m_fPitch, nullptr,
         [this, c](std::int16_t a) { return c->SetPitch(a, m_fPitch); },
         [this, c](std::int16_t a) { m_fPitch = c->GetPitch(a); }},
        {IDC_PS_DRIVERAT, FieldKind::Int, true, nullptr, &m_nDriveRat,
         [this, c](std::int16_t a) { return c->SetDriverRate(a, m_nDriveRat); },
         [this, c](std::int16_t a) { m_nDriveRat = c->GetDriveRat(a); }},
        {IDC_PS_RADIUS, FieldKind::Int, true, nullptr, &m_nRadius,
         [this, c](std::int16_t a) { return c->Setradius(a, m_nRadius); },
         [this, c](std::int16_t a) { m_nRadius = c->Getradius(a); }},
        {IDC_PS_STAGESTEPS, FieldKind::Float, true, &m_fStageSteps, nullptr,
         [this, c](std::int16_t a) { return c->SetStageSteps(a, m_fStageSteps); },
         [this, c](std::int16_t a) { m_fStageSteps = c->GetStageSteps(a); }},
        {IDC_PS_LIMITPOS, FieldKind::Float, false, &m_fLimitPos, nullptr,
         [this, c](std::int16_t a) { return c->SetLimitPos(a, m_fLimitPos); },
         [this, c](std::int16_t a) { m_fLimitPos = c->GetLimitPos(a); }},
        {IDC_PS_LIMITNEG, FieldKind::Float, false, &m_fLimitNeg, nullptr,
         [this, c](std::int16_t a) { return c->SetLimitNeg(a, m_fLimitNeg); },
         [this, c](std::int16_t a) { m_fLimitNeg = c->GetLimitNeg(a); }},
        {IDC_PS_RESOLUTION, FieldKind::Float, false, &m_fResolution, nullptr,
         [this, c](std::int16_t a) { return c->Setresolution(a, m_fResolution); },
         [this, c](std::int16_t a) { m_fResolution = c->Getresolution(a); }},
        {IDC_PS_OFFSET, FieldKind::Float, false, &m_fOffset, nullptr,
         [this, c](std::int16_t a) { return c->SetOffset(a, m_fOffset); },
         [this, c](std::int16_t a) { m_fOffset = c->GetOffset(a); }},
        {IDC_PS_SPEED, FieldKind::Float, false, &m_fSpeed, nullptr,
         [this, c](std::int16_t a) { return c->SetSpeed(a, m_fSpeed); },
         [this, c](std::int16_t a) { m_fSpeed = c->GetSpeed(a); }},
        {IDC_PS_INITSPEED, FieldKind::Float, false, &m_fInitSpeed, nullptr,
         [this, c](std::int16_t a) { return c->SetInitSpeed(a, m_fInitSpeed); },
         [this, c](std::int16_t a) { m_fInitSpeed = c->GetInitSpeed(a); }},
        {IDC_PS_ACCSPEED, FieldKind::Float, false, &m_fAccSpeed, nullptr,
         [this, c](std::int16_t a) { return c->SetAccSpeed(a, m_fAccSpeed); },
         [this, c](std::int16_t a) { m_fAccSpeed = c->GetAccSpeed(a); }},
        {IDC_PS_HOMESPEED, FieldKind::Float, false, &m_fHomeSpeed, nullptr,
         [this, c](std::int16_t a) { return c->SetHomeSpeed(a, m_fHomeSpeed); },
         [this, c](std::int16_t a) { m_fHomeSpeed = c->GetHomeSpeed(a); }},
    };
}

// --- state and controls ---

void CParamSetDlg::RefreshControls() {
    for (const EditField& f : m_fields) {
        QLineEdit* edit = Edit(f.id);
        edit->setText(f.kind == FieldKind::Float ? FormatGeneral(*f.fValue)
                                                 : QString::number(*f.nValue));
        edit->setModified(false);
    }
    SelectText(Combo(IDC_PS_STAGESTYLE), m_strStageStyle);
    SelectText(Combo(IDC_PS_WORKSTATE), m_strWorkstate);
    SelectText(Combo(IDC_PS_ENCODER), m_strEncoder);
    SelectText(Combo(IDC_PS_LIMITABLE), m_strLimitAble);
    SelectText(Combo(IDC_PS_UNIT), m_strUnit);
}

void CParamSetDlg::SetEncoderList(int stageStyle) {
    QComboBox* enc = Combo(IDC_PS_ENCODER);
    enc->clear();
    enc->addItem(QStringLiteral("Linear"));
    if (stageStyle == 1) enc->addItem(QStringLiteral("Round"));
    SelectText(enc, m_strEncoder);
    Label(IDC_PS_RESUNIT)->setText(ResolutionUnit(stageStyle));
}

QString CParamSetDlg::EncoderText(const QString& code) const {
    if (code.startsWith(QLatin1Char('L'))) return QStringLiteral("Linear");
    if (code.startsWith(QLatin1Char('R'))) return QStringLiteral("Round");
    return m_strEncoder;  // nothing read: keep what is shown
}

void CParamSetDlg::SetUnitLabels(int unitIndex) {
    if (unitIndex < 0 || unitIndex > 3) return;
    const QString unit = QString::fromLatin1(kUnitTexts[unitIndex]);
    for (int id : {IDC_PS_UNIT_SPEED, IDC_PS_UNIT_INITSPEED, IDC_PS_UNIT_HOMESPEED}) {
        Label(id)->setText(unit + QStringLiteral("/s"));
    }
    for (int id : {IDC_PS_UNIT_ACC, IDC_PS_UNIT_ACC2}) Label(id)->setText(unit + "/s*s");
    for (int id = IDC_PS_UNIT_LEN_FIRST; id <= IDC_PS_UNIT_LEN_LAST; ++id) Label(id)->setText(unit);
    Label(IDC_PS_UNIT_LEN_EXTRA)->setText(unit);
}

void CParamSetDlg::SetReadingState(bool reading) {
    // The factory-settings wait also holds the axis choice: the reload
    // that follows reads the axis chosen when it started.
    PushButton(IDC_PS_RELOAD)->setEnabled(!reading);
    PushButton(IDC_PS_FACTORY)->setEnabled(!reading);
    for (QAbstractButton* radio : m_pAxisGroup->buttons()) radio->setEnabled(!reading);
    Label(IDC_PS_STATUS)->setText(reading ? Text("IDC_STATIC_READING") : QString());
    m_pProgress->setVisible(reading);
    if (reading) m_pProgress->setValue(0);
}

void CParamSetDlg::SetRequestState(bool running) {
    m_nRequests += running ? 1 : -1;
    if (m_nRequests < 0) m_nRequests = 0;
    // Fields and lists wait with the request: a second write cannot start
    // from values the first one is about to replace.
    const bool idle = m_nRequests == 0;
    for (QObject* child : children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (w == nullptr) continue;
        if (qobject_cast<QLineEdit*>(w) != nullptr || qobject_cast<QComboBox*>(w) != nullptr)
            w->setEnabled(idle);
    }
}

void CParamSetDlg::CancelRequests() {
    m_pFactoryTimer->stop();
    m_bFactoryPending = false;
    while (m_nRequests > 0) SetRequestState(false);
    SetReadingState(false);
}

// --- reload ---

void CParamSetDlg::SelectAxis(int axis) {
    if (axis < 0 || axis > 3) return;
    m_pAxisGroup->button(axis)->setChecked(true);
    m_nAxis = static_cast<std::int16_t>(axis);
    ReloadAll();
}

namespace {

// Everything reload-all reads, in the order it reads it.
struct ReloadValues {
    QString encoder;
    std::int16_t stageStyle = 0;
    std::int16_t work = 0;
    float stageSteps = 0, pitch = 0;
    std::int32_t driveRat = 0, radius = 0;
    float distance = 0, limitPos = 0, limitNeg = 0, resolution = 0, offset = 0;
    bool limitAble = false;
    float speed = 0, accSpeed = 0, homeSpeed = 0;
    double position = 0;
    float initSpeed = 0;
    QString unitCode;
    bool open = false;
    int reads = 0;       // reads answered
    QString failedCall;  // the first read that failed
    int failedCode = 0;
};

}  // namespace

void CParamSetDlg::ReloadAll(std::function<void()> then) {
    SetReadingState(true);
    SetRequestState(true);
    CKORVAKT3002* c = &Control();
    const std::int16_t a = m_nAxis;
    QPointer<QProgressBar> progress = m_pProgress;
    m_pView->Worker().Post<ReloadValues>(
        this,
        [c, a, progress] {
            ReloadValues v;
            // The getters fall back to the last known value when an exchange
            // fails; only the error code tells, so each read is checked, and
            // the first that fails ends the reload (a mute controller costs
            // one time limit, not nineteen).
            auto hold = c->HoldCalls();
            v.open = c->GetIsOpen();
            if (!v.open) return v;
            auto read = [&](const char* name, auto fn) {
                if (!v.failedCall.isEmpty()) return;
                fn();
                const int code = c->GetErrorCode();
                if (code != 0) {
                    v.failedCall = QString::fromLatin1(name);
                    v.failedCode = code;
                    return;
                }
                const int done = ++v.reads;
                QMetaObject::invokeMethod(
                    progress,
                    [progress, done] {
                        if (progress) progress->setValue(done);
                    },
                    Qt::QueuedConnection);
            };
            read("GetEncoderStyle", [&] { v.encoder = c->GetEncoderStyle(a); });
            read("GetAxisStyle", [&] { v.stageStyle = c->GetAxisStyle(a); });
            read("Getworkstate", [&] { v.work = c->Getworkstate(a); });
            read("GetStageSteps", [&] { v.stageSteps = c->GetStageSteps(a); });
            read("GetPitch", [&] { v.pitch = c->GetPitch(a); });
            read("GetDriveRat", [&] { v.driveRat = c->GetDriveRat(a); });
            read("Getradius", [&] { v.radius = c->Getradius(a); });
            read("Getdistance", [&] { v.distance = c->Getdistance(a); });
            read("GetLimitPos", [&] { v.limitPos = c->GetLimitPos(a); });
            read("GetLimitNeg", [&] { v.limitNeg = c->GetLimitNeg(a); });
            read("Getresolution", [&] { v.resolution = c->Getresolution(a); });
            read("GetOffset", [&] { v.offset = c->GetOffset(a); });
            read("GetLimitAble", [&] { v.limitAble = c->GetLimitAble(a); });
            read("GetSpeed", [&] { v.speed = c->GetSpeed(a); });
            read("GetAccSpeed", [&] { v.accSpeed = c->GetAccSpeed(a); });
            read("GetHomeSpeed", [&] { v.homeSpeed = c->GetHomeSpeed(a); });
            read("GetPosition", [&] { v.position = c->GetPosition(a); });
            read("GetInitSpeed", [&] { v.initSpeed = c->GetInitSpeed(a); });
            read("GetUnit", [&] { v.unitCode = c->GetUnit(a); });
            return v;
        },
        [this, a, then](ReloadValues v) {
            SetRequestState(false);
            const bool allRead = v.open && v.failedCall.isEmpty();
            if (allRead) {
                // Only a complete reload replaces what the panel shows.
                m_nStageStyle = v.stageStyle;
                m_fStageSteps = v.stageSteps;
                m_fPitch = v.pitch;
                m_nDriveRat = v.driveRat;
                m_nRadius = v.radius;
                m_fDistance = v.distance;
                m_fLimitPos = v.limitPos;
                m_fLimitNeg = v.limitNeg;
                m_fResolution = v.resolution;
                m_fOffset = v.offset;
                m_fSpeed = v.speed;
                m_fAccSpeed = v.accSpeed;
                m_fHomeSpeed = v.homeSpeed;
                m_fPosition = v.position;
                m_fInitSpeed = v.initSpeed;
                m_strStageStyle =
                    m_nStageStyle == 1 ? QStringLiteral("Rotate") : QStringLiteral("Linear");
                m_strEncoder = EncoderText(v.encoder);
                m_strWorkstate = v.work == 0 ? QStringLiteral("Close") : QStringLiteral("Open");
                m_strLimitAble = v.limitAble ? QStringLiteral("Disable") : QStringLiteral("Enable");
                SetEncoderList(m_nStageStyle == 1 ? 1 : 0);

                CSingleRunDlg* single = m_pView->SingleRun();
                single->SetUnitCode(a, v.unitCode);
                const int unitIndex = CSingleRunDlg::UnitIndexOfCode(v.unitCode);
                if (single->CurrentAxis() == a) single->SetUnitLabels(unitIndex);
                if (unitIndex >= 0) {
                    m_strUnit = QString::fromLatin1(kUnitTexts[unitIndex]);
                    m_nUnitSaved = unitIndex;
                    SetUnitLabels(unitIndex);
                }
            } else if (!v.failedCall.isEmpty()) {
                m_pView->ReportFailure(v.failedCall, v.failedCode);
            }
            RefreshControls();
            SetReadingState(false);
            // A reload that could not read is not reported as a success.
            ShowMessage(this, Text(allRead ? "IDS_STRING_GETTINGOK" : "IDS_STRING_GETTINGERR"));
            if (then) then();
        });
}

// --- writes ---

void CParamSetDlg::RunWrite(const QString& call, std::function<bool()> write, bool reload,
                            std::function<void()> readBack, std::function<void(bool)> after) {
    struct Result {
        bool ok = false;
        int code = 0;
    };
    SetRequestState(true);
    CKORVAKT3002* c = &Control();
    m_pView->Worker().Post<Result>(
        this,
        [c, write, readBack] {
            Result r;
            auto hold = c->HoldCalls();
            r.ok = write();
            if (!r.ok) {
                r.code = c->GetErrorCode();
                // The field shows the controller's value again.
                if (readBack) readBack();
            }
            return r;
        },
        [this, call, reload, after](Result r) {
            SetRequestState(false);
            if (!r.ok && r.code != 0) m_pView->ReportFailure(call, r.code);
            if (!r.ok) RefreshControls();
            ShowMessage(this, Text(r.ok ? "IDS_STRING_SETTINGOK" : "IDS_STRING_SETTINGERR"));
            if (after) after(r.ok);
            if (r.ok && reload) ReloadAll();
        });
}

void CParamSetDlg::WriteEdit(const EditField& field) {
    QLineEdit* edit = Edit(field.id);
    const bool parsed = field.kind == FieldKind::Float ? ReadFloatField(edit, *field.fValue)
                                                       : ReadIntField(edit, *field.nValue);
    if (!parsed) return;
    const std::int16_t a = m_nAxis;
    auto write = field.write;
    auto readBack = field.readBack;
    RunWrite(
        QStringLiteral("Write of field %1").arg(field.id), [write, a] { return write(a); },
        field.reload, [readBack, a] { readBack(a); });
}

void CParamSetDlg::WriteList(int id) {
    CKORVAKT3002* c = &Control();
    const std::int16_t a = m_nAxis;
    QComboBox* combo = Combo(id);
    const auto index = static_cast<std::int16_t>(combo->currentIndex());
    const bool open = m_pView->DeviceOpen();
    if (id == IDC_PS_WORKSTATE) {
        m_strWorkstate = combo->currentText();
        RunWrite(
            QStringLiteral("Setworkstate"),
            [c, a, index, open] { return open && c->Setworkstate(a, index); }, true,
            [this, c, a] {
                m_strWorkstate =
                    c->Getworkstate(a) == 0 ? QStringLiteral("Close") : QStringLiteral("Open");
            });
    } else if (id == IDC_PS_ENCODER) {
        m_strEncoder = combo->currentText();
        const QString encoder = m_strEncoder;
        RunWrite(
            QStringLiteral("SetEncoderStyle"),
            [c, a, encoder, open] { return open && c->SetEncoderStyle(a, encoder); }, true,
            [this, c, a] { m_strEncoder = EncoderText(c->GetEncoderStyle(a)); });
    } else if (id == IDC_PS_LIMITABLE) {
        m_strLimitAble = combo->currentText();
        // The limit switches change no other value: no reload after it.
        RunWrite(
            QStringLiteral("SetLimitAble"),
            [c, a, index, open] { return open && c->SetLimitAble(a, index); }, false,
            [this, c, a] {
                m_strLimitAble =
                    c->GetLimitAble(a) ? QStringLiteral("Disable") : QStringLiteral("Enable");
            });
    }
}

void CParamSetDlg::OnStageStyleChanged(int index) {
    CKORVAKT3002* c = &Control();
    const std::int16_t a = m_nAxis;
    const bool open = m_pView->DeviceOpen();
    m_nStageStyle = static_cast<std::int16_t>(index);
    m_strStageStyle = Combo(IDC_PS_STAGESTYLE)->currentText();
    const bool linear = index == 0;
    if (linear) {
        // A linear stage has only the linear encoder: say so before the stage.
        m_strEncoder = QStringLiteral("Linear");
        SetEncoderList(0);
    } else {
        SetEncoderList(1);
    }
    const auto style = m_nStageStyle;
    RefreshControls();
    std::int16_t* readStyle = &m_nStageStyle;
    RunWrite(
        QStringLiteral("SetAxisStyle"),
        [c, a, open, linear, style] {
            if (open && linear) c->SetEncoderStyle(a, QStringLiteral("Linear"));
            return open && c->SetAxisStyle(a, style);
        },
        true, [c, a, readStyle] { *readStyle = c->GetAxisStyle(a) == 1 ? 1 : 0; },
        [this](bool ok) {
            if (ok) return;
            m_strStageStyle =
                m_nStageStyle == 1 ? QStringLiteral("Rotate") : QStringLiteral("Linear");
            SetEncoderList(m_nStageStyle);
            RefreshControls();
        });
}

void CParamSetDlg::OnUnitChanged(int index) {
    QComboBox* unit = Combo(IDC_PS_UNIT);
    const bool rotary = m_nStageStyle == 1;
    if (rotary && (index == 1 || index == 3)) {
        ShowMessage(this, Text("IDS_ERROR_MMUM"), MsgIcon::Warning);
        unit->setCurrentIndex(m_nUnitSaved);
        return;
    }
    if (!rotary && index == 0) {
        ShowMessage(this, Text("IDS_ERROR_DEG"), MsgIcon::Warning);
        unit->setCurrentIndex(m_nUnitSaved);
        return;
    }
    Label(IDC_PS_RESUNIT)->setText(ResolutionUnit(rotary ? 1 : 0));
    m_strUnit = unit->currentText();
    if (!m_pView->DeviceOpen()) {
        m_nUnitSaved = index;
        SetUnitLabels(index);
        return;
    }
    struct Result {
        bool ok = false;
        int code = 0;
    };
    CKORVAKT3002* c = &Control();
    const std::int16_t a = m_nAxis;
    const auto u = static_cast<std::int16_t>(index);
    SetRequestState(true);
    m_pView->Worker().Post<Result>(
        this,
        [c, a, u] {
            auto hold = c->HoldCalls();
            Result r;
            r.ok = c->SetUnit(a, u);
            if (!r.ok) r.code = c->GetErrorCode();
            return r;
        },
        [this, index](Result r) {
            SetRequestState(false);
            if (!r.ok) {
                // Refused: the reload shows the unit the controller kept.
                if (r.code != 0) m_pView->ReportFailure(QStringLiteral("SetUnit"), r.code);
                ShowMessage(this, Text("IDS_STRING_SETTINGERR"));
                ReloadAll();
                return;
            }
            m_nUnitSaved = index;
            SetUnitLabels(index);
            ReloadAll();
        });
}

void CParamSetDlg::OnFactorySettings() {
    if (m_bFactoryPending) return;
    SetReadingState(true);
    m_pProgress->setRange(0, 0);  // busy: the controller restores its defaults
    m_bFactoryPending = true;
    CKORVAKT3002* c = &Control();
    m_pView->Worker().Post(
        this, [c] { c->Loaddefault(); },
        [this] {
            // The controller needs time to restore its defaults; the window
            // stays responsive meanwhile (the buttons stay disabled).
            m_pFactoryTimer->disconnect();
            connect(m_pFactoryTimer, &QTimer::timeout, this, [this] {
                m_bFactoryPending = false;
                m_pProgress->setRange(0, kReloadReads);
                ReloadAll();
            });
            m_pFactoryTimer->start(kFactoryWaitMs);
        });
}

// --- keyboard and mouse ---

void CParamSetDlg::StopWriting() {
    m_bWriting = true;
}

void CParamSetDlg::mousePressEvent(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    QWidget::mousePressEvent(event);
}

bool CParamSetDlg::eventFilter(QObject* watched, QEvent* event) {
    if (!m_bWriting && m_nRequests == 0 && IsLeavingField(event)) {
        for (const EditField& f : m_fields) {
            if (watched == Edit(f.id)) {
                // Message boxes and the number check move the focus; those
                // moves are not the operator leaving a field.
                m_bWriting = true;
                WriteEdit(f);
                m_bWriting = false;
                break;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace stagedesk
