#include "register/register_schema.h"

#include "register/fields.h"

#include "core/errors.h"

#include <QDir>
#include <QFileInfo>

namespace varek {

namespace {

// Integers are signed 32-bit: ten digits and a sign.
DbfField integer(const QString& name) {
    return {name, 'N', 11, 0};
}
DbfField text(const QString& name, int width) {
    return {name, 'C', width, 0};
}
DbfField date(const QString& name) {
    return {name, 'D', 8, 0};
}

RequiredField needInteger(const QString& name) {
    return {name, FieldKind::Integer, 0};
}
RequiredField needText(const QString& name, int minWidth = 0) {
    return {name, FieldKind::Text, minWidth};
}
RequiredField needDate(const QString& name) {
    return {name, FieldKind::Date, 0};
}

} // namespace

const QVector<TableSchema>& registerTables() {
    static const QVector<TableSchema> tables{
        {"obj.dbf",
         {integer(field::objNum), text(field::objName, 60), text(field::addr, 100), text(field::notes, 100)},
         {needInteger(field::objNum), needText(field::objName), needText(field::addr),
          needText(field::notes)}},
        {"ctrl.dbf",
         {integer(field::objNum), text(field::ctrlName, 60), integer(field::serNum), text(field::hard, 30),
          text(field::notes, 100), integer(field::openTime)},
         {needInteger(field::objNum), needText(field::ctrlName), needInteger(field::serNum),
          needText(field::hard), needText(field::notes), needInteger(field::openTime)}},
        {"tokens.dbf",
         {text(field::tokenCode, 16), text(field::tokenCard, 9), text(field::userName, 80),
          date(field::giveDate), integer(field::status)},
         {needText(field::tokenCode, 16), needText(field::tokenCard, 9), needText(field::userName),
          needDate(field::giveDate), needInteger(field::status)}},
        {"tc.dbf",
         {text(field::tokenCode, 16), integer(field::serNum)},
         {needText(field::tokenCode, 16), needInteger(field::serNum)}},
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
