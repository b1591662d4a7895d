#include "PlanRunDlg.h"

#include "KT300Doc.h"
#include "Resource.h"

namespace stagedesk {

CPlanRunDlg::CPlanRunDlg(CKT300View* view, QWidget* parent) : QWidget(parent), m_pView(view) {}

CPlanRunDlg::~CPlanRunDlg() {
    StopThreads();
}

void CPlanRunDlg::ApplyLanguage(const CKT300Doc& doc) {
    doc.ApplyDialogTexts(this, IDD_PLANRUN);
}

void CPlanRunDlg::SetGridHeaderFormat(const QString& format) {
    m_strGridHeader = format;
}

void CPlanRunDlg::StopThreads() {}

}  // namespace stagedesk
