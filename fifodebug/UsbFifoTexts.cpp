#include "UsbFifoTexts.h"

namespace usbfifo {

namespace {

constexpr TextKey kAll[] = {
    text::kMenuUsbFifo,    text::kClose,        text::kAboutMenu,      text::kMenuView,
    text::kMenuLanguage,   text::kEnglish,      text::kChinese,        text::kDevice,
    text::kGetDeviceCount, text::kGetSerial,    text::kGetDescription, text::kGetPosition,
    text::kOpenDevice,     text::kCloseDevice,  text::kSendEnter,      text::kWriteData,
    text::kReadData,       text::kReceiveCount, text::kShowData,       text::kAddEnter,
    text::kCharMode,       text::kSpentMs,      text::kSpeed,          text::kClear,
    text::kAboutTitle,     text::kOpenFailed,   text::kCloseFailed,    text::kWriteError,
    text::kNotOneByte,
};

}  // namespace

std::span<const TextKey> AllTextKeys() {
    return kAll;
}

korva::LanguageFileConfig UsbFifoLanguageConfig(bool remember) {
    return {"usbfifo.ini", "UsbFifo", remember};
}

CUsbFifoTexts::CUsbFifoTexts(bool remember) : m_File(UsbFifoLanguageConfig(remember)) {}

bool CUsbFifoTexts::Load(const std::string& name) {
    m_bSelected = m_File.Load(name);
    if (m_bSelected) m_Name = m_File.LanguageName();
    return m_bSelected;
}

bool CUsbFifoTexts::Select(const std::string& name) {
    // The file keeps its previous selection when no file names `name`, but
    // records "Default"; select the previous name again so the record stays.
    const std::string previous = m_Name;
    if (m_File.SelectLanguage(name)) {
        m_bSelected = true;
        m_Name = name;
        return true;
    }
    if (m_bSelected) m_File.SelectLanguage(previous);
    return false;
}

std::string CUsbFifoTexts::Name() const {
    return m_Name;
}

QString CUsbFifoTexts::Text(const TextKey& t) const {
    if (!m_bSelected) return QString::fromUtf8(t.english);
    return QString::fromUtf8(m_File.GetText(t.key));
}

}  // namespace usbfifo
