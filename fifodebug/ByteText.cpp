#include "ByteText.h"

namespace usbfifo {

namespace {
constexpr char16_t kControlPictures = 0x2400;  // U+2400 SYMBOL FOR NULL ...
constexpr char16_t kDeletePicture = 0x2421;
}  // namespace

bool CommandToBytes(const QString& command, bool sendEnter, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    bytes.reserve(static_cast<size_t>(command.size()) + 1);
    for (const QChar c : command) {
        if (c.unicode() > 0xff) {
            bytes.clear();
            return false;
        }
        bytes.push_back(static_cast<std::uint8_t>(c.unicode()));
    }
    if (sendEnter) bytes.push_back(13);
    return true;
}

std::string FormatReceived(const std::vector<std::uint8_t>& bytes, bool charMode, bool addEnter) {
    std::string text;
    if (charMode) {
        text.assign(bytes.begin(), bytes.end());
    } else {
        text.reserve(bytes.size() * 5);
        for (const std::uint8_t b : bytes) {
            text += std::to_string(static_cast<int>(static_cast<std::int8_t>(b)));
            text += ' ';
        }
    }
    if (addEnter) text += "\r\n";
    return text;
}

QString RenderForDisplay(std::string_view bytes, bool& afterCr) {
    QString out;
    out.reserve(static_cast<qsizetype>(bytes.size()));
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        const bool lf = b == '\n';
        if (b == '\r' || (lf && !afterCr)) {
            out += QChar(u'\n');
        } else if (lf) {
            // second half of CR LF: the line has ended already
        } else if (b == '\t') {
            out += QChar(u'\t');
        } else if (b < 0x20) {
            out += QChar(static_cast<char16_t>(kControlPictures + b));
        } else if (b == 0x7f) {
            out += QChar(kDeletePicture);
        } else if (b >= 0x80 && b < 0xa0) {
            out += QChar(QChar::ReplacementCharacter);
        } else {
            out += QChar(static_cast<char16_t>(b));
        }
        afterCr = b == '\r';
    }
    return out;
}

}  // namespace usbfifo
