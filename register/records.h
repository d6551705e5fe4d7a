#pragma once

#include <QString>

namespace varek {

class Table;

// One object (site) as exchanged with the object editor.
struct TCObj {
    qint32 obj_num = 0; // neither shown nor changed by the editor
    QString obj_name;
    QString addr;
    QString notes;
};

// One controller as exchanged with the controller editor.
struct TCtrl {
    qint32 obj_num = 0; // the object chosen in the editor
    QString ctrl_name;
    qint32 ser_num = 0; // neither shown nor set by the editor
    QString hard;
    QString notes;
    qint32 open_time = 0;
};

// The current row of the objects table as a record.
TCObj objectOf(const Table& obj);
// The record's name, address and note into the objects table's row being
// edited or inserted (obj_num is the caller's).
void setObjectFields(Table& obj, const TCObj& rec);

// The current row of the controllers table as a record.
TCtrl controllerOf(const Table& ctrl);
// The record's object, open time, note, firmware and name into the
// controllers table's row being edited or inserted (ser_num is the caller's).
void setControllerFields(Table& ctrl, const TCtrl& rec);

} // namespace varek
