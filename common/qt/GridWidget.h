#pragma once
// A text grid with one fixed header row, addressed the way the plan editors
// think of it: row 0 is the header, step rows are 1..Rows()-1, column 0 holds
// the step number. Cells hold plain text; the grid never edits them itself.
//
//   CGridWidget grid;
//   grid.SetFormatString("^Step|^RunMode|^RunCounts");  // three centred titles
//   grid.AddItem("1", 1);                                // a row after the header
//   grid.SetTextMatrix(1, 1, "GoHome");
#include <QString>
#include <QStringList>
#include <QWidget>

class QTableWidget;

namespace korva {

class CGridWidget : public QWidget {
    Q_OBJECT
  public:
    explicit CGridWidget(QWidget* parent = nullptr);

    // Rows including the header row; never less than 1. Setting fewer rows
    // drops the last ones, more rows appends empty ones.
    int Rows() const;
    void SetRows(int rows);
    int Cols() const;
    void SetCols(int cols);  // at least 1; new columns get empty titles

    // The current row: 0 (the header) when no step row is current. Setting a
    // row outside 1..Rows()-1 makes the header current.
    int Row() const;
    void SetRow(int row);
    // The row the selection ends on; with single-row selection the current row.
    int RowSel() const;

    // Inserts a row at index 1..Rows() whose column 0 holds firstCell; the
    // other cells are empty. False (nothing changed) for any other index.
    bool AddItem(const QString& firstCell, int index);
    // Removes step row index (1..Rows()-1); the header cannot be removed.
    bool RemoveItem(int index);

    // Cell text; row 0 is the header. Outside the grid: empty / false.
    QString TextMatrix(int row, int col) const;
    bool SetTextMatrix(int row, int col, const QString& text);

    // "^Title|<Title|>Title": one column per '|'-separated piece, the first
    // character choosing the alignment ('^' centred, '<' left, '>' right;
    // none: left). Sets Cols() to the number of pieces. A ';' ends the column
    // part (row titles are not used here).
    void SetFormatString(const QString& format);
    QString FormatString() const { return m_format; }
    // Number of columns a format string describes.
    static int FormatColumns(const QString& format);

    // Widens every column to its longest text.
    void FitColumns();

    // The table underneath, for styling and for tests that click cells.
    QTableWidget* Table() const { return m_pTable; }

  signals:
    // A click on a cell (row >= 1) or on a header title (row 0).
    void cellClicked(int row, int col);

  private:
    QTableWidget* m_pTable;
    QString m_format;
};

}  // namespace korva
