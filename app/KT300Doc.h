#pragma once
// The document: owns the program's one language file. Every panel and dialog
// looks its texts up here.
#include <QString>

#include "LanguageFile.h"

class QWidget;

namespace stagedesk {

class CKT300Doc {
  public:
    CKT300Doc();

    korva::CLanguageFile& Language() { return m_language; }
    const korva::CLanguageFile& Language() const { return m_language; }

    // The text of a key ("Not found" when absent).
    QString GetText(const char* key) const;
    // Caption and child texts of a dialog built from template `templateId`.
    void ApplyDialogTexts(QWidget* dialog, int templateId) const;

  private:
    korva::CLanguageFile m_language;
};

}  // namespace stagedesk
