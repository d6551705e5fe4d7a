#pragma once

#include "dbase/dbf.h"

#include <QStringList>

namespace varek {

// What the register needs of a field: its kind, not its exact width.
enum class FieldKind { Integer, Text, Date };

struct RequiredField {
    QString name;
    FieldKind kind;
    int minWidth = 0; // text fields: the characters the register stores in them (0: any)
};

// One of the register's four tables: its file name in the data directory,
// the fields a new file gets, and the fields an existing file must have.
struct TableSchema {
    QString fileName;         // "obj.dbf"
    QVector<DbfField> fields; // layout of a new file
    QVector<RequiredField> required;
};

// Language driver of new register files: cp866 (0x65), the code page of the
// Russian DOS dBASE tradition, which the other dBASE programs of such
// installations expect; every Russian letter, Ё and ё included, has a byte in it.
constexpr quint8 kRegisterLanguageDriver = 0x65;

// obj.dbf, ctrl.dbf, tokens.dbf, tc.dbf, in the order the register opens them.
const QVector<TableSchema>& registerTables();
// The schema of one table by file name (case-insensitive), or nullptr.
const TableSchema* registerTable(const QString& fileName);

// Fails with EDatabaseError naming the file when an opened table lacks a
// field the register needs, or has it with a kind the register cannot use
// (an integer kept as text, say).
void checkRequiredFields(const DbfFile& file, const TableSchema& schema);

// Creates the four empty tables in dir; fails when any of them exists
// already, creating none of the missing ones then.
void createRegisterFiles(const QString& dir);

} // namespace varek
