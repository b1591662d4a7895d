#include "GridWidget.h"

#include <QHeaderView>
#include <QTableWidget>
#include <QVBoxLayout>

namespace korva {
namespace {

struct Title {
    QString text;
    Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter;
};

QList<Title> ParseFormat(const QString& format) {
    QList<Title> titles;
    const QString columns = format.section(QLatin1Char(';'), 0, 0);
    for (const QString& piece : columns.split(QLatin1Char('|'))) {
        Title t;
        t.text = piece;
        if (!piece.isEmpty()) {
            const QChar c = piece.front();
            if (c == QLatin1Char('^')) {
                t.align = Qt::AlignCenter;
                t.text = piece.mid(1);
            } else if (c == QLatin1Char('<')) {
                t.text = piece.mid(1);
            } else if (c == QLatin1Char('>')) {
                t.align = Qt::AlignRight | Qt::AlignVCenter;
                t.text = piece.mid(1);
            }
        }
        titles.push_back(t);
    }
    return titles;
}

}  // namespace

CGridWidget::CGridWidget(QWidget* parent) : QWidget(parent), m_pTable(new QTableWidget(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_pTable);
    m_pTable->setColumnCount(1);
    m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pTable->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pTable->verticalHeader()->hide();
    m_pTable->verticalHeader()->setDefaultSectionSize(22);
    m_pTable->horizontalHeader()->setHighlightSections(false);
    m_pTable->horizontalHeader()->setSectionsClickable(true);
    connect(m_pTable, &QTableWidget::cellClicked, this,
            [this](int row, int col) { emit cellClicked(row + 1, col); });
    connect(m_pTable->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int col) { emit cellClicked(0, col); });
}

int CGridWidget::Rows() const {
    return m_pTable->rowCount() + 1;
}

void CGridWidget::SetRows(int rows) {
    m_pTable->setRowCount(rows < 1 ? 0 : rows - 1);
}

int CGridWidget::Cols() const {
    return m_pTable->columnCount();
}

void CGridWidget::SetCols(int cols) {
    m_pTable->setColumnCount(cols < 1 ? 1 : cols);
}

int CGridWidget::Row() const {
    const int row = m_pTable->currentRow();
    return row < 0 ? 0 : row + 1;
}

void CGridWidget::SetRow(int row) {
    if (row < 1 || row >= Rows()) {
        m_pTable->setCurrentCell(-1, -1);
        m_pTable->clearSelection();
        return;
    }
    const int col = m_pTable->currentColumn() < 0 ? 0 : m_pTable->currentColumn();
    m_pTable->setCurrentCell(row - 1, col);
}

int CGridWidget::RowSel() const {
    const QList<QTableWidgetSelectionRange> ranges = m_pTable->selectedRanges();
    if (ranges.isEmpty()) return Row();
    return ranges.back().bottomRow() + 1;
}

bool CGridWidget::AddItem(const QString& firstCell, int index) {
    if (index < 1 || index > Rows()) return false;
    m_pTable->insertRow(index - 1);
    m_pTable->setItem(index - 1, 0, new QTableWidgetItem(firstCell));
    return true;
}

bool CGridWidget::RemoveItem(int index) {
    if (index < 1 || index >= Rows()) return false;
    m_pTable->removeRow(index - 1);
    return true;
}

QString CGridWidget::TextMatrix(int row, int col) const {
    if (row < 0 || row >= Rows() || col < 0 || col >= Cols()) return {};
    const QTableWidgetItem* item =
        row == 0 ? m_pTable->horizontalHeaderItem(col) : m_pTable->item(row - 1, col);
    return item != nullptr ? item->text() : QString();
}

bool CGridWidget::SetTextMatrix(int row, int col, const QString& text) {
    if (row < 0 || row >= Rows() || col < 0 || col >= Cols()) return false;
    if (row == 0) {
        QTableWidgetItem* item = m_pTable->horizontalHeaderItem(col);
        if (item == nullptr) {
            m_pTable->setHorizontalHeaderItem(col, new QTableWidgetItem(text));
        } else {
            item->setText(text);
        }
        return true;
    }
    QTableWidgetItem* item = m_pTable->item(row - 1, col);
    if (item == nullptr) {
        m_pTable->setItem(row - 1, col, new QTableWidgetItem(text));
    } else {
        item->setText(text);
    }
    return true;
}

void CGridWidget::SetFormatString(const QString& format) {
    m_format = format;
    const QList<Title> titles = ParseFormat(format);
    SetCols(static_cast<int>(titles.size()));
    for (int c = 0; c < titles.size(); ++c) {
        auto* item = new QTableWidgetItem(titles[c].text);
        item->setTextAlignment(titles[c].align);
        m_pTable->setHorizontalHeaderItem(c, item);
    }
    m_pTable->resizeColumnsToContents();
}

void CGridWidget::FitColumns() {
    m_pTable->resizeColumnsToContents();
}

int CGridWidget::FormatColumns(const QString& format) {
    return static_cast<int>(ParseFormat(format).size());
}

}  // namespace korva
