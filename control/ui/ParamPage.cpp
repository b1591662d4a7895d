#include "ParamPage.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <cmath>
#include <limits>

#include "DialogTexts.h"
#include "LanguageFile.h"
#include "UiMessage.h"

namespace korva::ui {
namespace {

constexpr int kFieldTop = 104;
constexpr int kRowHeight = 36;
constexpr int kLabelX = 40;
constexpr int kFieldX = 220;

}  // namespace

CParamPage::CParamPage(CKORVAKT3002Ctrl* control, int templateId, int axis, QWidget* parent)
    : QWidget(parent), m_pControl(control), m_nTemplate(templateId), m_nAxis(axis) {
    auto* group = new QGroupBox(QStringLiteral("AXIS"), this);
    group->setProperty("controlId", kAxisGroupId);
    group->setGeometry(20, 16, 600, 64);
    auto* buttons = new QButtonGroup(this);
    static constexpr std::array<const char*, 4> kNames = {"AXIS X", "AXIS Y", "AXIS Z", "AXIS T"};
    for (int a = 0; a < 4; ++a) {
        auto* radio =
            new QRadioButton(QString::fromLatin1(kNames[static_cast<std::size_t>(a)]), this);
        radio->setProperty("controlId", kAxisRadioX + a);
        radio->setGeometry(44 + a * 144, 42, 130, 26);
        buttons->addButton(radio, a);
        m_pRadio[static_cast<std::size_t>(a)] = radio;
    }
    if (m_nAxis < 0 || m_nAxis > 3) m_nAxis = 0;
    m_pRadio[static_cast<std::size_t>(m_nAxis)]->setChecked(true);
    connect(buttons, &QButtonGroup::idClicked, this, [this](int a) { SelectAxis(a); });
}

void CParamPage::FinishPage(int reloadId, const char* reloadText, int updateId,
                            const char* updateText) {
    const int y = kFieldTop + m_nNextRow * kRowHeight + 16;
    m_pReload = new QPushButton(QString::fromLatin1(reloadText), this);
    m_pReload->setProperty("controlId", reloadId);
    m_pReload->setGeometry(kLabelX, y, 150, 32);
    m_pReload->setAutoDefault(false);
    m_pUpdate = new QPushButton(QString::fromLatin1(updateText), this);
    m_pUpdate->setProperty("controlId", updateId);
    m_pUpdate->setGeometry(kFieldX, y, 150, 32);
    m_pUpdate->setAutoDefault(false);
    connect(m_pReload, &QPushButton::clicked, this, [this] { OnReload(); });
    connect(m_pUpdate, &QPushButton::clicked, this, [this] { OnUpdate(); });

    // Texts of the page's template in the control's language.
    CLanguageFile language(ControlLanguageConfig());
    const std::string name = m_pControl != nullptr ? m_pControl->GetLangenge() : std::string();
    if (!language.Load(name)) ShowMessage(this, QStringLiteral("Load language resource failure!"));
    korva::ApplyDialogTexts(language, this, m_nTemplate);
}

QLineEdit* CParamPage::AddEdit(int id, const char* label, bool readOnly) {
    const int y = kFieldTop + m_nNextRow * kRowHeight;
    auto* text = new QLabel(QString::fromLatin1(label), this);
    text->setProperty("controlId", id + 1000);
    text->setGeometry(kLabelX, y + 3, 170, 24);
    auto* edit = new QLineEdit(QStringLiteral("0"), this);
    edit->setProperty("controlId", id);
    edit->setGeometry(kFieldX, y, 160, 28);
    edit->setReadOnly(readOnly);
    ++m_nNextRow;
    return edit;
}

QComboBox* CParamPage::AddList(int id, const char* label, const QStringList& sortedItems) {
    const int y = kFieldTop + m_nNextRow * kRowHeight;
    auto* text = new QLabel(QString::fromLatin1(label), this);
    text->setProperty("controlId", id + 1000);
    text->setGeometry(kLabelX, y + 3, 170, 24);
    auto* list = new QComboBox(this);
    list->setProperty("controlId", id);
    list->setGeometry(kFieldX, y, 160, 28);
    list->addItems(sortedItems);
    list->setCurrentIndex(0);
    ++m_nNextRow;
    return list;
}

QLabel* CParamPage::AddNote(int id, QLineEdit* beside, const char* text) {
    auto* note = new QLabel(QString::fromLatin1(text), this);
    note->setProperty("controlId", id);
    const QRect r = beside->geometry();
    note->setGeometry(r.right() + 12, r.top() + 3, 180, 24);
    return note;
}

QWidget* CParamPage::Field(int controlId) const {
    for (QObject* child : children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (w == nullptr || w->property("controlId").toInt() != controlId) continue;
        if (qobject_cast<QLineEdit*>(w) != nullptr || qobject_cast<QComboBox*>(w) != nullptr) {
            return w;
        }
    }
    return nullptr;
}

void CParamPage::SelectAxis(int axis) {
    if (axis < 0 || axis > 3) return;
    m_nAxis = axis;
    m_pRadio[static_cast<std::size_t>(axis)]->setChecked(true);
    ShowCache();
}

void CParamPage::OnReload() {
    if (m_pControl == nullptr) return;
    if (!ReloadGroup(static_cast<std::int16_t>(m_nAxis)))
        ShowMessage(this, QStringLiteral("Error"));
    ShowCache();
}

void CParamPage::OnUpdate() {
    if (m_pControl == nullptr) return;
    bool sent = false;
    const bool ok = ReadFieldsAndWrite(static_cast<std::int16_t>(m_nAxis), &sent);
    // A field that does not read as a number stops the write: the operator
    // has seen the number message and the field keeps what was typed.
    if (!sent) return;
    if (!ok) ShowMessage(this, QStringLiteral("Error"));
    ShowCache();
}

void CParamPage::ShowCache() {
    CKORVAKT3002Ctrl::AxisCache cache;
    if (m_pControl == nullptr || !m_pControl->GetCachedParams(m_nAxis, cache)) return;
    ShowFields(cache);
}

void CParamPage::SetFloat(QLineEdit* edit, double value) {
    // Six significant digits, with a point whatever the locale says.
    edit->setText(QString::number(static_cast<float>(value), 'g', 6));
}

void CParamPage::SetInt(QLineEdit* edit, long long value) {
    edit->setText(QString::number(value));
}

void CParamPage::SetListIndex(QComboBox* list, long long index) {
    list->setCurrentIndex(index >= 0 && index < list->count() ? static_cast<int>(index) : -1);
}

bool CParamPage::ReadFloat(QLineEdit* edit, float& out) {
    bool ok = false;
    const double value = edit->text().trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value) || std::fabs(value) > std::numeric_limits<float>::max()) {
        ShowMessage(this, NumberMessage());
        edit->setFocus();
        edit->selectAll();
        return false;
    }
    out = static_cast<float>(value);
    return true;
}

bool CParamPage::ReadInt(QLineEdit* edit, std::int32_t& out) {
    bool ok = false;
    const qlonglong value = edit->text().trimmed().toLongLong(&ok);
    constexpr auto lo = std::numeric_limits<std::int32_t>::min();
    constexpr auto hi = std::numeric_limits<std::int32_t>::max();
    if (!ok || value < lo || value > hi) {
        ShowMessage(this, IntegerRangeMessage(lo, hi));
        edit->setFocus();
        edit->selectAll();
        return false;
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

std::int16_t CParamPage::ListIndex(QComboBox* list) {
    return static_cast<std::int16_t>(list->currentIndex());
}

}  // namespace korva::ui
