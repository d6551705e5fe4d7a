#pragma once

#include <QString>

// The names of the register's fields, as its tables hold them and its view
// texts spell them. Code that names a field uses these.
namespace varek::field {

// obj.dbf: the objects (sites)
inline const QString objNum = QStringLiteral("obj_num");
inline const QString objName = QStringLiteral("obj_name");
inline const QString addr = QStringLiteral("addr");
inline const QString notes = QStringLiteral("notes"); // also in ctrl.dbf

// ctrl.dbf: the controllers (and obj_num, notes)
inline const QString ctrlName = QStringLiteral("ctrl_name");
inline const QString serNum = QStringLiteral("ser_num"); // also in tc.dbf
inline const QString hard = QStringLiteral("hard");
inline const QString openTime = QStringLiteral("open_time");

// tokens.dbf: the keys
inline const QString tokenCode = QStringLiteral("token_code"); // also in tc.dbf
inline const QString tokenCard = QStringLiteral("token_card");
inline const QString userName = QStringLiteral("user_name");
inline const QString giveDate = QStringLiteral("give_date");
inline const QString status = QStringLiteral("status");

} // namespace varek::field
