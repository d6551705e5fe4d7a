#pragma once

#include "register/sql_views.h"

#include <QString>

#include <functional>
#include <optional>

namespace varek {

class Table;

// The two texts the window runs on every move through controllers and keys,
// the keys of a controller (" select t.*, tc.ser_num from tokens t left join
// tc tc on t.token_code=tc.token_code  where tc.ser_num=N") and the
// controllers of a key (" select c.ctrl_name, tc.token_code, tc.ser_num,
// o.obj_name from ctrl c  join tc tc on c.ser_num=tc.ser_num join obj o on
// c.obj_num=o.obj_num where tc.token_code='K'"), answered straight from the
// tables' hash indexes: the same plan SQLite takes for them (the access rows
// of N or K through their index, then each joined table through its own),
// the same rows in the same order, with the same columns and values, without
// going through SQLite's virtual tables cell by cell.
//
// Gives nothing when the text is not one of the two (blanks and letter case
// aside), a table is closed or lacks an index, or a value is not one these
// joins are made for (a text with lone surrogates, a number in a text field):
// such a text goes the general way.
std::optional<SqlViews::Result> runKnownJoin(const QString& sql,
                                             const std::function<Table*(const QString& name)>& table);

} // namespace varek
