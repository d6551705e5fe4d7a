#include "register/register_schema.h"

#include "core/errors.h"

#include <QDir>
#include <QFileInfo>

namespace varek {

namespace {

// Integers are signed 32-bit: ten digits and a sign.
DbfField integer(const char* name) {
    return {QString::fromLatin1(name), 'N', 11, 0};
}
DbfField text(const char* name, int width) {
    return {QString::fromLatin1(name), 'C', width, 0};
}
DbfField date(const char* name) {
    return {QString::fromLatin1(name), 'D', 8, 0};
}

RequiredField needInteger(const char* name) {
    return {QString::fromLatin1(name), FieldKind::Integer, 0};
}
RequiredField needText(const char* name, int minWidth = 0) {
    return {QString::fromLatin1(name), FieldKind::Text, minWidth};
}
RequiredField needDate(const char* name) {
    return {QString::fromLatin1(name), FieldKind::Date, 0};
}

} // namespace

const QVector<TableSchema>& registerTables() {
    static const QVector<TableSchema> tables{
        {"obj.dbf",
         {integer("obj_num"), text("obj_name", 60), text("addr", 100), text("notes", 100)},
         {needInteger("obj_num"), needText("obj_name"), needText("addr"), needText("notes")}},
        {"ctrl.dbf",
         {integer("obj_num"), text("ctrl_name", 60), integer("ser_num"), text("hard", 30), text("notes", 100),
          integer("open_time")},
         {needInteger("obj_num"), needText("ctrl_name"), needInteger("ser_num"), needText("hard"),
          needText("notes"), needInteger("open_time")}},
        {"tokens.dbf",
         {text("token_code", 16), text("token_card", 9), text("user_name", 80), date("give_date"),
          integer("status")},
         {needText("token_code", 16), needText("token_card", 9), needText("user_name"), needDate("give_date"),
          needInteger("status")}},
        {"tc.dbf",
         {text("token_code", 16), integer("ser_num")},
         {needText("token_code", 16), needInteger("ser_num")}},
    };
    return tables;
}

const TableSchema* registerTable(const QString& fileName) {
    for (const TableSchema& t : registerTables())
        if (t.fileName.compare(fileName, Qt::CaseInsensitive) == 0) return &t;
    return nullptr;
}

void checkRequiredFields(const DbfFile& file, const TableSchema& schema) {
    for (const RequiredField& r : schema.required) {
        const int i = file.fieldIndex(r.name);
        if (i < 0)
            throw EDatabaseError(QStringLiteral("Table file \"%1\" has no field %2, which the register needs")
                                     .arg(file.path(), r.name));
        const DbfField& f = file.fields()[i];
        QString problem;
        switch (r.kind) {
        case FieldKind::Integer:
            if (!((f.type == 'N' || f.type == 'F') && f.decimals == 0) && f.type != 'I')
                problem = QStringLiteral("is not an integer field");
            break;
        case FieldKind::Text:
            // A memo field holds any length of text, in the table's memo file.
            if (f.type == 'M' && !file.memoPath().isEmpty() && r.minWidth == 0) break;
            if (f.type != 'C')
                problem = QStringLiteral("is not a text field");
            else if (f.length < r.minWidth)
                problem = QStringLiteral("holds %1 characters, the register needs %2")
                              .arg(f.length)
                              .arg(r.minWidth);
            break;
        case FieldKind::Date:
            if (f.type != 'D') problem = QStringLiteral("is not a date field");
            break;
        }
        if (!problem.isEmpty())
            throw EDatabaseError(QStringLiteral("Table file \"%1\": field %2 (type %3, %4 places) %5")
                                     .arg(file.path(), f.name, QString(QLatin1Char(f.type)))
                                     .arg(f.length)
                                     .arg(problem));
    }
}

void createRegisterFiles(const QString& dir) {
    if (!QDir().mkpath(dir))
        throw EDatabaseError(QStringLiteral("Cannot create the data directory \"%1\"").arg(dir));
    const QDir d(dir);
    for (const TableSchema& t : registerTables())
        if (QFileInfo::exists(d.filePath(t.fileName)))
            throw EDatabaseError(QStringLiteral("Cannot create table file \"%1\": the file exists already")
                                     .arg(d.filePath(t.fileName)));
    for (const TableSchema& t : registerTables())
        DbfFile::create(d.filePath(t.fileName), t.fields, kRegisterLanguageDriver);
}

} // namespace varek
