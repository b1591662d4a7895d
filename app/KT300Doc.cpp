#include "KT300Doc.h"

#include "DialogTexts.h"

namespace stagedesk {

CKT300Doc::CKT300Doc() : m_language(korva::StagedeskLanguageConfig()) {}

QString CKT300Doc::GetText(const char* key) const {
    return QString::fromStdString(m_language.GetText(key));
}

void CKT300Doc::ApplyDialogTexts(QWidget* dialog, int templateId) const {
    korva::ApplyDialogTexts(m_language, dialog, templateId);
}

}  // namespace stagedesk
