#include "KorvaSplit.h"

void KorvaSplit::Split(char separator, std::string_view text) {
    m_Pieces.clear();
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) end = text.size();
        // Runs of separators and separators at either end give no piece.
        if (end > start) m_Pieces.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
}

bool KorvaSplit::GetAt(int index, std::string& out) const {
    if (index < 0 || index >= GetCount()) return false;
    out = m_Pieces[static_cast<std::size_t>(index)];
    return true;
}
