#pragma once

#include <QDate>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

namespace varek {

// The dataset layer: tables (register/table.h) and views (register/view.h)
// keep their rows in memory and have a current row, like a cursor.
//
// Errors (EDatabaseError) with these fixed messages:
//   "Cannot perform this operation on a closed dataset"
//   "Cannot perform this operation on an empty dataset"
//   "Dataset not in edit or insert mode"
//   "Field '%s' not found"
class DataLink;

// Whether a text can be stored in a text field as it stands (the blanks at
// its end are never stored). Editors ask it before they save, so that a
// refused value is told to the operator while the typing is still there.
struct TextFit {
    enum class Problem { None, Character, TooLong };
    Problem problem = Problem::None;
    // Character: where the first character the field's code page lacks
    // stands in the text, and its length there (2 for a surrogate pair).
    qsizetype position = -1;
    qsizetype size = 0;
    char32_t codePoint = 0;
    // TooLong: the bytes the text takes and the bytes the field holds.
    int length = 0;
    int width = 0;
    QString codePage; // of the field's file, e.g. "cp866"
    bool fits() const { return problem == Problem::None; }
};

class Dataset : public QObject {
    Q_OBJECT
public:
    enum class State { Inactive, Browse, Edit, Insert };

    explicit Dataset(QObject* parent = nullptr);
    ~Dataset() override;

    virtual void open() = 0;
    virtual void close() = 0;
    bool active() const { return m_state != State::Inactive; }
    State state() const { return m_state; }

    // Rows as presented (for the controllers table: restricted to the current object).
    virtual int recordCount() const = 0;
    bool isEmpty() const { return recordCount() == 0; }
    // Current row, 0-based; -1 on an empty or closed dataset. While a row is
    // being inserted the current row is that new row and recNo() is -1.
    virtual int recNo() const = 0;
    // Moves the current row (clamped); fires the change event when it moved.
    virtual void setRecNo(int row) = 0;
    void first();
    void next(); // at the last row sets eof() instead of moving
    void prior();
    void last();
    bool eof() const { return m_eof; }
    bool bof() const { return m_bof; }

    // Fields, names matched without regard to case.
    virtual QStringList fieldNames() const = 0;
    int fieldIndex(const QString& name) const;        // -1 when absent
    int requireFieldIndex(const QString& name) const; // fails with "Field '%s' not found"
    // A presented row's value by field position (for grid models); null = invalid QVariant.
    virtual QVariant value(int row, int field) const = 0;

    // The current row's fields. Closed dataset and unknown field fail as above.
    QVariant fieldValue(const QString& name) const;
    bool isNull(const QString& name) const;
    qint32 asInteger(const QString& name) const; // null gives 0
    QString asString(const QString& name) const; // null gives ""; as textOf
    QDate asDate(const QString& name) const;     // null gives an invalid date

    // The checks behind the fixed messages above: an open dataset, and an
    // open dataset with at least one row.
    void requireActive() const;
    void requireRows() const;

    // A value as text, the way the register shows it (fields and grids): null
    // gives "", dates dd.MM.yyyy, logicals True/False.
    static QString textOf(const QVariant& value);

    // During a change event fired by a field assignment, the position of the
    // assigned field; -1 during every other change event.
    int changedField() const { return m_changedField; }

signals:
    // The change event: the current row moved to another row, the dataset was
    // opened, a row was posted or deleted, a field of the row being edited or
    // inserted was assigned. Data links forward it while enabled.
    void dataEvent();
    // The set of presented rows changed (open, close, post, delete, append,
    // restriction applied or lifted): models reset. Not emitted for moves.
    void rowsReset();
    // A presented row's values changed in place.
    void rowChanged(int row);
    // Runs once each time the dataset has been opened.
    void afterOpen();

protected:
    // For subclasses: the current row's value (insert/edit buffer included).
    virtual QVariant currentValue(int field) const = 0;
    void setState(State s) { m_state = s; }
    void setEofBof(bool eof, bool bof) {
        m_eof = eof;
        m_bof = bof;
    }
    // Fires the change event: emits dataEvent(), then lets every data link
    // forward it (their handlers are called directly, so that their errors
    // reach the caller of the operation that caused the change).
    void notifyDataEvent(int changedField = -1);
    // The move shared by setRecNo of every dataset: nothing on no rows;
    // otherwise cur takes row clamped to 0..count-1, eof and bof are cleared,
    // and the change event fires when cur changed.
    void moveCurrentRow(int& cur, int row, int count);
    // The end of every dataset's open, once its rows are in place: eof and
    // bof set for the first row, then rowsReset, the change event, afterOpen.
    void announceOpened(bool empty);

private:
    friend class DataLink;
    QVector<DataLink*> m_links;
    int m_changedField = -1;
    State m_state = State::Inactive;
    bool m_eof = true;
    bool m_bof = true;
};

} // namespace varek
