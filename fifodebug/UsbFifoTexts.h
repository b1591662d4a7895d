#pragma once
// UsbFifo's texts in the languages of the "Language" folder. Each text has a
// key and its English original: with no language file selected (none found,
// or none loaded yet) the English original is shown, so the tool works without
// the folder. The files are "UsbFifo_<language>.ini", naming section
// "UsbFifo"; the choice made in the View menu is remembered in "usbfifo.ini".
#include <QString>
#include <span>
#include <string>

#include "LanguageFile.h"

namespace usbfifo {

struct TextKey {
    const char* key;
    const char* english;
};

// Every text UsbFifo looks up (the language files must hold each key).
namespace text {
inline constexpr TextKey kMenuUsbFifo{"ID_MENU_USBFIFO", "&UsbFifo"};
inline constexpr TextKey kClose{"ID_CLOSE", "&Close"};
inline constexpr TextKey kAboutMenu{"IDS_ABOUTBOX", "About UsbFifo(&A)..."};
inline constexpr TextKey kMenuView{"ID_MENU_VIEW", "&View"};
inline constexpr TextKey kMenuLanguage{"ID_MENU_LANGUAGE", "&Language"};
inline constexpr TextKey kEnglish{"ID_LANGUAGE_ENGLISH", "English"};
inline constexpr TextKey kChinese{"ID_LANGUAGE_CHINESE", "Chinese (中文)"};
inline constexpr TextKey kDevice{"IDC_STATIC_DEVICE", "Device"};
inline constexpr TextKey kGetDeviceCount{"IDC_GET_DEVICE_COUNT", "Get Device Count"};
inline constexpr TextKey kGetSerial{"IDC_GET_SERIAL", "Get Series Number"};
inline constexpr TextKey kGetDescription{"IDC_GET_DESCRIPTION", "Get Description"};
inline constexpr TextKey kGetPosition{"IDC_GET_POSITION", "Get Position"};
inline constexpr TextKey kOpenDevice{"IDC_OPEN_DEVICE", "Open Device"};
inline constexpr TextKey kCloseDevice{"IDC_CLOSE_DEVICE", "Close Device"};
inline constexpr TextKey kSendEnter{"IDC_SEND_ENTER", "Enter"};
inline constexpr TextKey kWriteData{"IDC_WRITE_DATA", "Write Data"};
inline constexpr TextKey kReadData{"IDC_READ_DATA", "Read Data"};
inline constexpr TextKey kReceiveCount{"IDC_STATIC_RECEIVE_COUNT", "Receive Count"};
inline constexpr TextKey kShowData{"IDC_SHOW_DATA", "Show Data"};
inline constexpr TextKey kAddEnter{"IDC_ADD_ENTER", "Add Enter"};
inline constexpr TextKey kCharMode{"IDC_CHAR_MODE", "CHAR/ASC"};
inline constexpr TextKey kSpentMs{"IDC_STATIC_SPENT_MS", "Spent(ms)"};
inline constexpr TextKey kSpeed{"IDC_STATIC_SPEED", "Speed(k/s)"};
inline constexpr TextKey kClear{"IDC_CLEAR", "Clear"};
inline constexpr TextKey kAboutTitle{"IDD_ABOUTBOX_Title", "About UsbFifo"};
inline constexpr TextKey kOpenFailed{"IDS_OPEN_FAILED", "Open device failed."};
inline constexpr TextKey kCloseFailed{"IDS_CLOSE_FAILED", "Close failed."};
inline constexpr TextKey kWriteError{"IDS_WRITE_ERROR", "Error!"};
inline constexpr TextKey kNotOneByte{
    "IDS_NOT_ONE_BYTE",
    "The command line holds characters that do not fit in one byte; nothing was written."};
}  // namespace text

// All of the above, for the check of the shipped files.
std::span<const TextKey> AllTextKeys();

// "usbfifo.ini", section "UsbFifo"; a selection is remembered unless
// `remember` is false (a language given for one run).
korva::LanguageFileConfig UsbFifoLanguageConfig(bool remember = true);

// The language names the View menu offers, in menu order.
inline constexpr const char* kLanguageNames[] = {"English", "Chinese"};

class CUsbFifoTexts {
  public:
    explicit CUsbFifoTexts(bool remember = true);

    korva::CLanguageFile& File() { return m_File; }
    // Loads from the Language folder (empty: the remembered language, default
    // English). False when no file names that language: English stays.
    bool Load(const std::string& name = {});
    // Switches to a language of the folder; false (and no change) when none
    // names it.
    bool Select(const std::string& name);
    // The selected language's name, "English" when no file is selected.
    std::string Name() const;

    QString Text(const TextKey& t) const;

  private:
    korva::CLanguageFile m_File;
    bool m_bSelected = false;
    std::string m_Name = "English";
};

}  // namespace usbfifo
