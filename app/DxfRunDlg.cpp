#include "DxfRunDlg.h"

#include "KT300Doc.h"
#include "Resource.h"

namespace stagedesk {

CDxfRunDlg::CDxfRunDlg(CKT300View* view, QWidget* parent) : QWidget(parent), m_pView(view) {}

CDxfRunDlg::~CDxfRunDlg() {
    StopThreads();
}

void CDxfRunDlg::ApplyLanguage(const CKT300Doc& doc) {
    doc.ApplyDialogTexts(this, IDD_DXFRUN);
}

void CDxfRunDlg::StopThreads() {}

}  // namespace stagedesk
