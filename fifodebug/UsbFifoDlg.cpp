#include "UsbFifoDlg.h"

#include <QAbstractButton>
#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "AboutDlg.h"
#include "ByteText.h"
#include "FifoMessage.h"
#include "HistoryComboBox.h"
#include "Resource.h"
#include "UsbFifoTexts.h"

namespace usbfifo {

namespace {

constexpr unsigned long kWriteTimeoutMs = 3000;
constexpr unsigned long kReadTimeoutMs = 3000;
// Not translated: the serial box holds the bytes "Open Device" sends.
constexpr const char* kErrorText = " --- Error ---";

template <typename W>
W* WithId(W* widget, int id) {
    widget->setProperty("controlId", id);
    return widget;
}

QString FromBytes(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToBytes(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

}  // namespace

CUsbFifoDlg::CUsbFifoDlg(QWidget* parent, bool rememberLanguage)
    : QDialog(parent),
      m_Texts(rememberLanguage),
      m_Bridge(this, [this](unsigned message, unsigned long wParam, long lParam) {
          if (message == WM_USB_RECEIVE) OnUsbReceive(wParam, lParam);
      }) {
    CreateControls();
    // A library that cannot be loaded is not reported here: every device
    // action then fails and the window says why.
    m_bLibraryLoaded = m_Usb.Initialize(&m_Bridge, WM_USB_RECEIVE);
    UpdateData(false);
    EnableDeviceList(true);
}

CUsbFifoDlg::~CUsbFifoDlg() {
    // The bridge stays closed: no delivery may reach a dialog being destroyed.
    m_Bridge.Close();
    m_Usb.Close();
}

void CUsbFifoDlg::CreateControls() {
    setWindowTitle(QStringLiteral("UsbFifo"));
    setWindowIcon(AppIcon());

    // Linux has no system menu to extend; its entries live in a small menu of
    // the window and in the dialog's context menu.
    auto* closeAction = m_closeAction = new QAction(T(text::kClose), this);
    closeAction->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
    connect(closeAction, &QAction::triggered, this, &QDialog::reject);
    auto* separator = new QAction(this);
    separator->setSeparator(true);
    const QString aboutText = T(text::kAboutMenu);
    if (!aboutText.isEmpty()) {
        m_aboutAction = new QAction(aboutText, this);
        m_aboutAction->setProperty("commandId", IDM_ABOUTBOX);
        connect(m_aboutAction, &QAction::triggered, this, &CUsbFifoDlg::OnAbout);
    }
    auto* menuBar = new QMenuBar(this);
    QMenu* systemMenu = m_systemMenu = menuBar->addMenu(T(text::kMenuUsbFifo));
    systemMenu->addAction(closeAction);
    addAction(closeAction);
    if (m_aboutAction != nullptr) {
        systemMenu->addAction(separator);
        systemMenu->addAction(m_aboutAction);
        addAction(separator);
        addAction(m_aboutAction);
    }
    setContextMenuPolicy(Qt::ActionsContextMenu);

    // View > Language, as in stagedesk: the texts change at once and the
    // choice is remembered for the next start.
    m_viewMenu = menuBar->addMenu(T(text::kMenuView));
    m_languageMenu = m_viewMenu->addMenu(T(text::kMenuLanguage));
    auto* languages = new QActionGroup(this);
    for (const char* name : kLanguageNames) {
        QAction* action = m_languageMenu->addAction(QString::fromUtf8(name));
        action->setCheckable(true);
        action->setData(QString::fromUtf8(name));
        languages->addAction(action);
        connect(action, &QAction::triggered, this, [this, name] { SwitchLanguage(name); });
        m_languageActions.push_back(action);
    }
    connect(m_languageMenu, &QMenu::aboutToShow, this, [this] { UpdateLanguageChecks(); });

    // Devices.
    m_getCount = WithId(new QPushButton(T(text::kGetDeviceCount), this), IDC_GET_DEVICE_COUNT);
    m_countEdit = WithId(new QLineEdit(this), IDC_DEVICE_COUNT);
    m_indexList = WithId(new QComboBox(this), IDC_DEVICE_INDEX);
    m_getSerial = WithId(new QPushButton(T(text::kGetSerial), this), IDC_GET_SERIAL);
    m_serialEdit = WithId(new QLineEdit(this), IDC_SERIAL);
    m_getDescription = WithId(new QPushButton(T(text::kGetDescription), this), IDC_GET_DESCRIPTION);
    m_descriptionEdit = WithId(new QLineEdit(this), IDC_DESCRIPTION);
    m_getPosition = WithId(new QPushButton(T(text::kGetPosition), this), IDC_GET_POSITION);
    m_positionEdit = WithId(new QLineEdit(this), IDC_POSITION);
    m_openButton = WithId(new QPushButton(T(text::kOpenDevice), this), IDC_OPEN_DEVICE);
    m_closeButton = WithId(new QPushButton(T(text::kCloseDevice), this), IDC_CLOSE_DEVICE);

    // Traffic.
    m_command = WithId(new CHistoryComboBox(this), IDC_COMMAND);
    m_received = WithId(new QPlainTextEdit(this), IDC_RECEIVED);
    m_sendEnter = WithId(new QCheckBox(T(text::kSendEnter), this), IDC_SEND_ENTER);
    m_writeButton = WithId(new QPushButton(T(text::kWriteData), this), IDC_WRITE_DATA);
    m_readButton = WithId(new QPushButton(T(text::kReadData), this), IDC_READ_DATA);
    auto* countLabel = m_countLabel = new QLabel(T(text::kReceiveCount), this);
    m_receiveCountEdit = WithId(new QLineEdit(this), IDC_RECEIVE_COUNT);
    m_showData = WithId(new QCheckBox(T(text::kShowData), this), IDC_SHOW_DATA);
    m_addEnter = WithId(new QCheckBox(T(text::kAddEnter), this), IDC_ADD_ENTER);
    m_charMode = WithId(new QCheckBox(T(text::kCharMode), this), IDC_CHAR_MODE);
    auto* spentLabel = m_spentLabel = new QLabel(T(text::kSpentMs), this);
    m_spentEdit = WithId(new QLineEdit(this), IDC_SPENT_MS);
    auto* speedLabel = m_speedLabel = new QLabel(T(text::kSpeed), this);
    m_speedEdit = WithId(new QLineEdit(this), IDC_SPEED);
    m_clearButton = WithId(new QPushButton(T(text::kClear), this), IDC_CLEAR);

    // Why no device is listed or opens (hidden until there is something to say).
    m_help = new QLabel(this);
    m_help->setObjectName(QStringLiteral("linuxHelp"));
    m_help->setWordWrap(true);
    m_help->setTextFormat(Qt::PlainText);
    m_help->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_help->setFrameShape(QFrame::StyledPanel);
    m_help->setMargin(6);
    m_help->setStyleSheet(QStringLiteral("QLabel { background: #fff8dc; color: #3a2a00; }"));
    m_help->hide();

    // Output-only boxes are read-only: their values come from the program.
    for (QLineEdit* box :
         {m_countEdit, m_positionEdit, m_receiveCountEdit, m_spentEdit, m_speedEdit})
        box->setReadOnly(true);
    m_received->setReadOnly(true);
    m_received->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_received->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_received->setMinimumHeight(160);
    m_writeButton->setDefault(true);
    m_writeButton->setAutoDefault(true);
    for (QPushButton* b : {m_getCount, m_getSerial, m_getDescription, m_getPosition, m_openButton,
                           m_closeButton, m_readButton, m_clearButton})
        b->setAutoDefault(false);
    m_command->setMinimumWidth(260);

    auto* devices = m_devices = new QGroupBox(T(text::kDevice), this);
    auto* grid = new QGridLayout(devices);
    grid->addWidget(m_getCount, 0, 0);
    grid->addWidget(m_countEdit, 0, 1);
    grid->addWidget(m_indexList, 0, 2);
    grid->addWidget(m_getSerial, 1, 0);
    grid->addWidget(m_serialEdit, 1, 1, 1, 2);
    grid->addWidget(m_getDescription, 2, 0);
    grid->addWidget(m_descriptionEdit, 2, 1, 1, 2);
    grid->addWidget(m_getPosition, 3, 0);
    grid->addWidget(m_positionEdit, 3, 1, 1, 2);
    auto* openClose = new QVBoxLayout;
    openClose->addWidget(m_openButton);
    openClose->addWidget(m_closeButton);
    openClose->addStretch(1);
    grid->addLayout(openClose, 0, 3, 4, 1);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 1);

    auto* commandRow = new QHBoxLayout;
    commandRow->addWidget(m_command, 1);
    commandRow->addWidget(m_sendEnter);
    commandRow->addWidget(m_writeButton);
    commandRow->addWidget(m_readButton);

    auto* statusRow = new QHBoxLayout;
    statusRow->addWidget(countLabel);
    statusRow->addWidget(m_receiveCountEdit);
    statusRow->addWidget(spentLabel);
    statusRow->addWidget(m_spentEdit);
    statusRow->addWidget(speedLabel);
    statusRow->addWidget(m_speedEdit);

    auto* optionRow = new QHBoxLayout;
    optionRow->addWidget(m_showData);
    optionRow->addWidget(m_addEnter);
    optionRow->addWidget(m_charMode);
    optionRow->addStretch(1);
    optionRow->addWidget(m_clearButton);

    auto* layout = new QVBoxLayout(this);
    layout->setMenuBar(menuBar);
    layout->addWidget(devices);
    layout->addLayout(commandRow);
    layout->addWidget(m_received, 1);
    layout->addLayout(statusRow);
    layout->addLayout(optionRow);
    layout->addWidget(m_help);

    connect(m_getCount, &QPushButton::clicked, this, &CUsbFifoDlg::OnGetDeviceCount);
    connect(m_getSerial, &QPushButton::clicked, this, &CUsbFifoDlg::OnRefreshSerial);
    connect(m_getDescription, &QPushButton::clicked, this, &CUsbFifoDlg::OnRefreshDescription);
    connect(m_indexList, &QComboBox::currentIndexChanged, this, [this] {
        OnRefreshSerial();
        OnRefreshDescription();
    });
    connect(m_openButton, &QPushButton::clicked, this, &CUsbFifoDlg::OnOpenDevice);
    connect(m_closeButton, &QPushButton::clicked, this, &CUsbFifoDlg::OnCloseDevice);
    connect(m_writeButton, &QPushButton::clicked, this, &CUsbFifoDlg::OnWriteData);
    connect(m_clearButton, &QPushButton::clicked, this, &CUsbFifoDlg::OnClear);
    // "Get Position" and "Read Data" do nothing: reading happens on every notification.
    connect(m_addEnter, &QCheckBox::clicked, this,
            [this] { m_bAddEnter = m_addEnter->checkState() != Qt::Unchecked; });
    connect(m_sendEnter, &QCheckBox::clicked, this,
            [this] { m_bSendEnter = m_sendEnter->isChecked(); });
    connect(m_showData, &QCheckBox::clicked, this,
            [this] { m_bShowData = m_showData->isChecked(); });
    connect(m_charMode, &QCheckBox::clicked, this,
            [this] { m_bCharMode = m_charMode->isChecked(); });
}

QString CUsbFifoDlg::T(const TextKey& key) const {
    return m_Texts.Text(key);
}

bool CUsbFifoDlg::LoadLanguage(const std::string& name) {
    const bool found = m_Texts.Load(name);
    ApplyTexts();
    return found;
}

bool CUsbFifoDlg::SwitchLanguage(const std::string& name) {
    const bool found = m_Texts.Select(name);
    ApplyTexts();
    return found;
}

void CUsbFifoDlg::UpdateLanguageChecks() {
    const QString current = QString::fromStdString(m_Texts.Name());
    for (QAction* action : m_languageActions)
        action->setChecked(action->data().toString() == current);
}

void CUsbFifoDlg::ApplyTexts() {
    m_systemMenu->setTitle(T(text::kMenuUsbFifo));
    m_closeAction->setText(T(text::kClose));
    if (m_aboutAction != nullptr) m_aboutAction->setText(T(text::kAboutMenu));
    m_viewMenu->setTitle(T(text::kMenuView));
    m_languageMenu->setTitle(T(text::kMenuLanguage));
    const TextKey names[] = {text::kEnglish, text::kChinese};
    static_assert(std::size(names) == std::size(kLanguageNames));
    for (std::size_t i = 0; i < m_languageActions.size(); ++i)
        m_languageActions[i]->setText(T(names[i]));
    UpdateLanguageChecks();
    m_devices->setTitle(T(text::kDevice));
    const std::pair<QAbstractButton*, TextKey> buttons[] = {
        {m_getCount, text::kGetDeviceCount},
        {m_getSerial, text::kGetSerial},
        {m_getDescription, text::kGetDescription},
        {m_getPosition, text::kGetPosition},
        {m_openButton, text::kOpenDevice},
        {m_closeButton, text::kCloseDevice},
        {m_sendEnter, text::kSendEnter},
        {m_writeButton, text::kWriteData},
        {m_readButton, text::kReadData},
        {m_showData, text::kShowData},
        {m_addEnter, text::kAddEnter},
        {m_charMode, text::kCharMode},
        {m_clearButton, text::kClear},
    };
    for (const auto& [button, key] : buttons) button->setText(T(key));
    m_countLabel->setText(T(text::kReceiveCount));
    m_spentLabel->setText(T(text::kSpentMs));
    m_speedLabel->setText(T(text::kSpeed));
}

QWidget* CUsbFifoDlg::Control(int id) const {
    for (QWidget* w : findChildren<QWidget*>())
        if (w->property("controlId").toInt() == id) return w;
    return nullptr;
}

QString CUsbFifoDlg::HelpText() const {
    return m_help->isHidden() ? QString() : m_help->text();
}

void CUsbFifoDlg::UpdateData(bool saveAndValidate) {
    if (saveAndValidate) {
        m_SerialText = ToBytes(m_serialEdit->text());
        m_DescriptionText = ToBytes(m_descriptionEdit->text());
        m_DeviceIndex = m_indexList->currentIndex();
        m_CommandText = m_command->currentText();
        m_bSendEnter = m_sendEnter->isChecked();
        m_bShowData = m_showData->isChecked();
        m_bAddEnter = m_addEnter->checkState() != Qt::Unchecked;
        m_bCharMode = m_charMode->isChecked();
        return;
    }
    const QSignalBlocker blockIndex(m_indexList);
    m_countEdit->setText(QString::number(m_DeviceCount));
    m_indexList->setCurrentIndex(m_DeviceIndex < m_indexList->count() ? m_DeviceIndex : -1);
    m_serialEdit->setText(FromBytes(m_SerialText));
    m_descriptionEdit->setText(FromBytes(m_DescriptionText));
    m_positionEdit->setText(QString::number(m_Position));
    m_command->setEditText(m_CommandText);
    m_sendEnter->setChecked(m_bSendEnter);
    m_showData->setChecked(m_bShowData);
    m_addEnter->setChecked(m_bAddEnter);
    m_charMode->setChecked(m_bCharMode);
    ShowCounters();
}

void CUsbFifoDlg::ShowCounters() {
    m_receiveCountEdit->setText(QString::number(m_ReceiveCount));
    m_spentEdit->setText(QString::number(m_SpentMs));
    m_speedEdit->setText(QString::number(m_Speed, 'g', 6));
}

void CUsbFifoDlg::EnableDeviceList(bool enable) {
    for (QWidget* w : std::initializer_list<QWidget*>{m_getCount, m_indexList, m_getSerial,
                                                      m_getDescription, m_getPosition})
        w->setEnabled(enable);
}

void CUsbFifoDlg::ShowHelp(const std::string& text) {
    m_help->setText(QString::fromStdString(text).trimmed());
    m_help->setVisible(!text.empty());
}

LibraryState CUsbFifoDlg::Library() const {
    LibraryState state;
    state.loaded = m_bLibraryLoaded;
    state.path = m_Usb.LibraryPath();
    state.simulator = IsSimulatorLibrary(state.path);
    return state;
}

void CUsbFifoDlg::OnGetDeviceCount() {
    int count = 0;
    const bool listed = m_Usb.GetDeviceCount(&count);
    const unsigned long status = m_Usb.LastStatus();
    m_DeviceCount = count;
    if (listed) {
        const QSignalBlocker blockIndex(m_indexList);
        m_indexList->clear();
        for (int i = 0; i < count; ++i) m_indexList->addItem(QString::number(i));
        m_DeviceIndex = count > 0 ? 0 : -1;
        m_indexList->setCurrentIndex(m_DeviceIndex);
    }
    UpdateData(false);
    OnRefreshSerial();
    OnRefreshDescription();
    if (listed && count > 0)
        ShowHelp({});
    else
        ShowHelp(ExplainNoDevice(Library(), listed, status, ScanFtdiChips()));
}

void CUsbFifoDlg::OnRefreshSerial() {
    UpdateData(true);
    std::string serial;
    m_SerialText = m_Usb.GetSerialNumber(m_DeviceIndex, serial) ? serial : kErrorText;
    UpdateData(false);
}

void CUsbFifoDlg::OnRefreshDescription() {
    UpdateData(true);
    std::string text;
    m_DescriptionText = m_Usb.GetDescription(m_DeviceIndex, text) ? text : kErrorText;
    UpdateData(false);
}

void CUsbFifoDlg::OnOpenDevice() {
    // The serial number in the box is the one opened, also when typed by hand.
    UpdateData(true);
    bool opened = false;
    {
        const NotifyBridge::Pause pause(m_Bridge);
        m_Usb.Close();
        opened = m_Usb.OpenBySerial(m_SerialText);
    }
    const unsigned long status = m_Usb.LastStatus();
    // A device that could not be closed for the new open is still open.
    m_bDeviceOpen = m_Usb.IsOpen();
    EnableDeviceList(!m_bDeviceOpen);
    if (opened) {
        m_WriteTime = std::chrono::steady_clock::now();
        ShowHelp({});
        return;
    }
    std::vector<std::string> serials;
    int count = 0;
    if (m_Usb.GetDeviceCount(&count)) {
        for (int i = 0; i < count; ++i) {
            std::string serial;
            if (m_Usb.GetSerialNumber(i, serial)) serials.push_back(serial);
        }
    }
    ShowHelp(ExplainOpenFailure(Library(), m_SerialText, status, serials, ScanFtdiChips()));
    ShowMessage(this, T(text::kOpenFailed));
}

void CUsbFifoDlg::OnCloseDevice() {
    if (!m_bDeviceOpen) return;
    bool closed = false;
    {
        const NotifyBridge::Pause pause(m_Bridge);
        closed = m_Usb.Close();
    }
    if (!closed) {
        ShowMessage(this, T(text::kCloseFailed));
        return;
    }
    m_bDeviceOpen = false;
    EnableDeviceList(true);
}

void CUsbFifoDlg::OnWriteData() {
    UpdateData(true);
    std::vector<std::uint8_t> bytes;
    if (!CommandToBytes(m_CommandText, m_bSendEnter, bytes)) {
        ShowMessage(this, T(text::kNotOneByte));
        return;
    }
    // The clock starts before the write: the reply may arrive while the write
    // still pauses, and the elapsed time covers the whole exchange.
    m_ReceiveCount = 0;
    m_WriteTime = std::chrono::steady_clock::now();
    ShowCounters();
    if (!m_Usb.Write(bytes, kWriteTimeoutMs)) ShowMessage(this, T(text::kWriteError));
    m_command->AddToHistory(m_CommandText);
}

void CUsbFifoDlg::OnClear() {
    m_ReceivedText.clear();
    m_bReceivedAfterCr = false;
    m_received->clear();
}

void CUsbFifoDlg::OnAbout() {
    CAboutDlg about(this, T(text::kAboutTitle));
    about.exec();
}

void CUsbFifoDlg::OnUsbReceive(unsigned long /*wParam*/, long /*lParam*/) {
    std::vector<std::uint8_t> data;
    if (!m_Usb.Read(data, kReadTimeoutMs)) return;  // nothing changes on screen
    std::string text;
    UsbFifoBinding::BytesToText(data, text);
    m_ReceiveCount += static_cast<std::int64_t>(text.size());
    if (m_bShowData) {
        const std::string piece = FormatReceived(data, m_bCharMode, m_bAddEnter);
        m_ReceivedText += piece;
        m_received->moveCursor(QTextCursor::End);
        m_received->insertPlainText(RenderForDisplay(piece, m_bReceivedAfterCr));
        m_received->verticalScrollBar()->setValue(m_received->verticalScrollBar()->maximum());
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - m_WriteTime)
                             .count();
    m_SpentMs = elapsed;
    if (elapsed > 0) m_Speed = static_cast<double>(m_ReceiveCount) / static_cast<double>(elapsed);
    ShowCounters();
}

}  // namespace usbfifo
