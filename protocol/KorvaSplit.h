#pragma once
// Splits a text at one separator character into its non-empty pieces.
#include <string>
#include <string_view>
#include <vector>

class KorvaSplit {
  public:
    KorvaSplit() = default;
    KorvaSplit(char separator, std::string_view text) { Split(separator, text); }

    void Split(char separator, std::string_view text);
    bool GetAt(int index, std::string& out) const;
    int GetCount() const { return static_cast<int>(m_Pieces.size()); }

  private:
    std::vector<std::string> m_Pieces;
};
