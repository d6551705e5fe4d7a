#include "transfer/key_transfer.h"

#include "core/errors.h"
#include "keys/token_code.h"
#include "register/data_link.h"
#include "register/fields.h"
#include "register/table.h"
#include "register/varek_register.h"
#include "register/view.h"
#include "transfer/csv.h"
#include "transfer/key_columns.h"

#include <QFile>
#include <QHash>
#include <QMap>
#include <QSaveFile>
#include <QSet>
#include <algorithm>

namespace varek {

using keycsv::Column;

namespace {

// A file larger than this is no keys file (a register of 100 000 keys with
// their controllers stays well below it).
constexpr qint64 kMaxFileSize = 64 * 1024 * 1024;

qint32 asInt(const QVariant& v) {
    return static_cast<qint32>(v.toLongLong());
}

// The controllers of the register by the label the keys file names them with.
struct Controllers {
    QHash<qint32, QString> labelOf;           // ser_num -> "object / controller"
    QHash<QString, QList<qint32>> byLabelKey; // labelKey -> ser_num of each

    explicit Controllers(VarekRegister& reg) {
        Table& obj = reg.taObj();
        Table& ctrl = reg.taCtrl();
        const int objNum = obj.requireFieldIndex(field::objNum);
        const int objName = obj.requireFieldIndex(field::objName);
        QHash<qint64, QString> objects;
        for (int id = 0; id < obj.storedRowCount(); ++id) {
            const QVariant n = obj.storedValue(id, objNum);
            if (obj.storedRowLive(id) && n.isValid() && !objects.contains(n.toLongLong()))
                objects.insert(n.toLongLong(), obj.storedValue(id, objName).toString());
        }
        const int ctrlObj = ctrl.requireFieldIndex(field::objNum);
        const int ctrlName = ctrl.requireFieldIndex(field::ctrlName);
        const int ctrlSer = ctrl.requireFieldIndex(field::serNum);
        for (int id = 0; id < ctrl.storedRowCount(); ++id) {
            if (!ctrl.storedRowLive(id)) continue;
            const QVariant owner = ctrl.storedValue(id, ctrlObj);
            const QVariant ser = ctrl.storedValue(id, ctrlSer);
            if (!owner.isValid() || !ser.isValid() || !objects.contains(owner.toLongLong())) continue;
            const QString label = keycsv::controllerLabel(objects.value(owner.toLongLong()),
                                                          ctrl.storedValue(id, ctrlName).toString());
            const qint32 s = asInt(ser);
            if (labelOf.contains(s)) continue;
            labelOf.insert(s, label);
            byLabelKey[keycsv::labelKey(label)].append(s);
        }
    }
};

// ser_num of the access rows of each code, in the access table's order, once each.
QHash<QString, QList<qint32>> accessByCode(Table& tc) {
    const int code = tc.requireFieldIndex(field::tokenCode);
    const int ser = tc.requireFieldIndex(field::serNum);
    QHash<QString, QList<qint32>> out;
    for (int id = 0; id < tc.storedRowCount(); ++id) {
        if (!tc.storedRowLive(id)) continue;
        const QVariant s = tc.storedValue(id, ser);
        if (!s.isValid()) continue;
        QList<qint32>& list = out[tc.storedValue(id, code).toString()];
        if (!list.contains(asInt(s))) list.append(asInt(s));
    }
    return out;
}

QString dateText(const QVariant& v) {
    const QDate d = v.toDate();
    return d.isValid() ? d.toString(keycsv::kDateFormat) : QString();
}

QString quoted(const QString& s) {
    return QStringLiteral("«%1»").arg(s);
}

QString fitProblem(const TextFit& fit, const QString& text, const QString& what) {
    if (fit.problem == TextFit::Problem::Character)
        return QStringLiteral("%1: символ %2 не записывается в кодировке файла ключей (%3)")
            .arg(what, quoted(text.mid(fit.position, fit.size)), fit.codePage);
    return QStringLiteral("%1 длиннее поля: %2 байт, а поле вмещает %3")
        .arg(what)
        .arg(fit.length)
        .arg(fit.width);
}

std::optional<QDate> dateOf(const QString& cell) {
    for (const char* format : {"dd.MM.yyyy", "d.M.yyyy", "yyyy-MM-dd"}) {
        const QDate d = QDate::fromString(cell, QString::fromLatin1(format));
        if (d.isValid()) return d;
    }
    return std::nullopt;
}

// The live rows of the keys table that hold a code: exactly, by the keys
// table's index, or in another case or with blanks around it (only a code
// typed by hand is stored so), by a map of those few made once.
class KeyFinder {
public:
    explicit KeyFinder(Table& tokens)
        : m_tokens(tokens), m_field(tokens.requireFieldIndex(field::tokenCode)) {
        for (int id = 0; id < tokens.storedRowCount(); ++id) {
            if (!tokens.storedRowLive(id)) continue;
            const QString stored = tokens.storedValue(id, m_field).toString();
            const QString normal = normalizeTokenCode(stored);
            if (stored != normal) m_odd[normal].append(id);
        }
    }
    QList<int> rowsOf(const QString& code) const {
        QList<int> out;
        std::vector<int> ids;
        if (m_tokens.lookup(m_field, code, &ids) >= 0) {
            for (int id : ids)
                out.append(id);
        } else {
            for (int id = 0; id < m_tokens.storedRowCount(); ++id)
                if (m_tokens.storedRowLive(id) && m_tokens.storedValue(id, m_field).toString() == code)
                    out.append(id);
        }
        out.append(m_odd.value(code));
        return out;
    }

private:
    Table& m_tokens;
    int m_field;
    QHash<QString, QList<int>> m_odd;
};

} // namespace

QByteArray exportKeysCsv(VarekRegister& reg, const KeySubset& subset, int* count) {
    Table& tokens = reg.taTokens();
    const int code = tokens.requireFieldIndex(field::tokenCode);
    const int card = tokens.requireFieldIndex(field::tokenCard);
    const int user = tokens.requireFieldIndex(field::userName);
    const int date = tokens.requireFieldIndex(field::giveDate);
    const int status = tokens.requireFieldIndex(field::status);
    const Controllers controllers(reg);
    const QHash<QString, QList<qint32>> access = accessByCode(reg.taTC());
    const QSet<int> ids(subset.rowIds.begin(), subset.rowIds.end());
    const QSet<QString> cards(subset.cards.begin(), subset.cards.end());

    QList<QStringList> records{keycsv::exportHeader()};
    for (int id = 0; id < tokens.storedRowCount(); ++id) {
        if (!tokens.storedRowLive(id)) continue;
        const QString cardNumber = tokens.storedValue(id, card).toString();
        if (!subset.all() && !ids.contains(id) && !cards.contains(cardNumber)) continue;
        const QString keyCode = tokens.storedValue(id, code).toString();
        QStringList labels;
        for (const qint32 ser : access.value(keyCode))
            if (controllers.labelOf.contains(ser)) labels << controllers.labelOf.value(ser);
        QStringList row;
        for (const Column c : keycsv::kColumns) {
            switch (c) {
            case Column::Card:
                row << cardNumber;
                break;
            case Column::Holder:
                row << tokens.storedValue(id, user).toString();
                break;
            case Column::Date:
                row << dateText(tokens.storedValue(id, date));
                break;
            case Column::Status:
                row << keycsv::statusText(asInt(tokens.storedValue(id, status)));
                break;
            case Column::Code:
                row << keyCode;
                break;
            case Column::Controllers:
                row << labels.join(keycsv::kListSeparator);
                break;
            }
        }
        records << row;
    }
    if (count) *count = static_cast<int>(records.size() - 1);
    return csvFile(records);
}

int exportKeys(VarekRegister& reg, const QString& path, const KeySubset& subset) {
    int count = 0;
    const QByteArray bytes = exportKeysCsv(reg, subset, &count);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw EFileError(QStringLiteral("Не удалось записать файл %1: %2").arg(path, file.errorString()));
    return count;
}

int ImportPlan::count(ImportRow::Verdict verdict) const {
    int n = 0;
    for (const ImportRow& r : rows)
        if (r.verdict == verdict) ++n;
    return n;
}

QString ImportPlan::summary() const {
    return QStringLiteral("Добавить: %1, изменить: %2, отклонено: %3")
        .arg(count(ImportRow::Verdict::Add))
        .arg(count(ImportRow::Verdict::Change))
        .arg(count(ImportRow::Verdict::Refused));
}

bool ImportPlan::canApply() const {
    return !refused() && count(ImportRow::Verdict::Add) + count(ImportRow::Verdict::Change) > 0;
}

ImportPlan planImport(VarekRegister& reg, const QByteArray& bytes) {
    ImportPlan plan;
    QList<CsvRecord> records;
    try {
        records = parseCsv(bytes);
    } catch (const VarekError& e) {
        plan.fileError = e.message();
        return plan;
    }
    if (records.isEmpty()) {
        plan.fileError = QStringLiteral("Файл пуст: в нём нет даже строки заголовков.");
        return plan;
    }

    // The header: which cell holds which column.
    QMap<Column, int> at;
    const CsvRecord& header = records.constFirst();
    for (int i = 0; i < header.cells.size(); ++i) {
        const QString name = header.cells.at(i).trimmed();
        const std::optional<Column> c = keycsv::columnOf(name);
        if (!c) {
            if (!name.isEmpty()) plan.ignoredColumns << name;
            continue;
        }
        if (at.contains(*c)) {
            plan.fileError =
                QStringLiteral("Столбец %1 указан в заголовке дважды.").arg(quoted(keycsv::headerOf(*c)));
            return plan;
        }
        at.insert(*c, i);
    }
    if (!at.contains(Column::Code)) {
        plan.fileError = QStringLiteral("В первой строке файла нет столбца %1. Первая строка должна называть "
                                        "столбцы: %2.")
                             .arg(quoted(keycsv::headerOf(Column::Code)), keycsv::exportHeader().join(u", "));
        return plan;
    }

    Table& tokens = reg.taTokens();
    const int userField = tokens.requireFieldIndex(field::userName);
    const int dateField = tokens.requireFieldIndex(field::giveDate);
    const int statusField = tokens.requireFieldIndex(field::status);
    const int codeField = tokens.requireFieldIndex(field::tokenCode);
    const int cardField = tokens.requireFieldIndex(field::tokenCard);
    const Controllers controllers(reg);
    const QHash<QString, QList<qint32>> access = accessByCode(reg.taTC());
    const QDate today = QDate::currentDate();
    const KeyFinder finder(tokens);

    QHash<QString, QList<int>> linesOfCode;
    QList<QStringList> reasons;
    for (qsizetype r = 1; r < records.size(); ++r) {
        const CsvRecord& rec = records.at(r);
        ImportRow row;
        row.line = rec.line;
        QStringList why;
        auto cell = [&](Column c) -> std::optional<QString> {
            if (!at.contains(c)) return std::nullopt;
            return rec.cells.value(at.value(c)).trimmed();
        };
        for (qsizetype i = header.cells.size(); i < rec.cells.size(); ++i) {
            if (!rec.cells.at(i).trimmed().isEmpty()) {
                why << QStringLiteral("в строке больше ячеек (%1), чем столбцов в заголовке (%2)")
                           .arg(rec.cells.size())
                           .arg(header.cells.size());
                break;
            }
        }

        row.code = normalizeTokenCode(*cell(Column::Code));
        bool codeOk = false;
        if (row.code.isEmpty()) {
            why << QStringLiteral("не указан код ключа");
        } else if (!isWellFormedTokenCode(row.code)) {
            why << QStringLiteral("код %1 должен состоять из 16 шестнадцатеричных цифр")
                       .arg(quoted(row.code));
        } else {
            const QString expected =
                QStringLiteral("%1").arg(DallasCrc8(row.code), 2, 16, QLatin1Char('0')).toUpper();
            if (row.code.right(2) != expected)
                why << QStringLiteral(
                           "неверный контрольный байт кода %1: по первым 14 цифрам он должен быть %2")
                           .arg(quoted(row.code), quoted(expected));
            else
                codeOk = true;
        }
        if (codeOk) {
            row.card = CardNumberOf(row.code);
            linesOfCode[row.code].append(rec.line);
        }

        if (const auto holder = cell(Column::Holder)) {
            const TextFit fit = tokens.textFit(field::userName, *holder);
            if (std::any_of(holder->begin(), holder->end(),
                            [](QChar c) { return c.category() == QChar::Other_Control; }))
                why << QStringLiteral(
                    "в имени пользователя есть перевод строки или другой управляющий символ");
            else if (!fit.fits())
                why << fitProblem(fit, *holder, QStringLiteral("имя пользователя"));
            row.setHolder = *holder;
        }
        if (const auto date = cell(Column::Date)) {
            if (date->isEmpty()) {
                row.setDate = QVariant();
            } else if (const auto d = dateOf(*date)) {
                row.setDate = QVariant(*d);
            } else {
                why << QStringLiteral("дата %1 не читается: нужна дата вида 17.05.2024").arg(quoted(*date));
            }
        }
        if (const auto status = cell(Column::Status)) {
            if (const auto s = keycsv::statusOf(*status))
                row.setStatus = *s;
            else
                why << QStringLiteral("статус %1 не распознан: нужен «доступ» или «мастер-ключ» (или 1 и 0)")
                           .arg(quoted(*status));
        }
        if (const auto list = cell(Column::Controllers)) {
            QList<qint32> sers;
            const QStringList parts = list->split(u';');
            for (qsizetype i = 0; i < parts.size(); ++i) {
                QString label = parts.at(i).simplified();
                if (label.isEmpty()) continue;
                QList<qint32> found = controllers.byLabelKey.value(keycsv::labelKey(label));
                // A name that holds ";" itself spans several parts: the
                // longest run of parts from here (of a few) that names a
                // controller wins.
                for (qsizetype k = std::min<qsizetype>(parts.size() - 1, i + 4); k > i; --k) {
                    const QString longer = QStringList(parts.mid(i, k - i + 1)).join(u';').simplified();
                    const QList<qint32> more = controllers.byLabelKey.value(keycsv::labelKey(longer));
                    if (!more.isEmpty()) {
                        found = more;
                        label = longer;
                        i = k;
                        break;
                    }
                }
                if (found.isEmpty()) {
                    why << QStringLiteral("нет контроллера %1 (нужно «объект / контроллер», как в реестре)")
                               .arg(quoted(label));
                } else if (found.size() > 1) {
                    QStringList numbers;
                    for (const qint32 s : found)
                        numbers << QString::number(s);
                    why << QStringLiteral(
                               "название %1 носят несколько контроллеров (номера %2): переименуйте их "
                               "в реестре так, чтобы названия различались")
                               .arg(quoted(label), numbers.join(u", "));
                } else if (!sers.contains(found.constFirst())) {
                    sers.append(found.constFirst());
                }
            }
            row.setControllers = sers;
        }

        if (codeOk) {
            const QList<int> keys = finder.rowsOf(row.code);
            if (keys.size() > 1) {
                why << QStringLiteral(
                    "в реестре несколько ключей с этим кодом; оставьте один из них и повторите");
            } else if (keys.size() == 1) {
                const int id = keys.constFirst();
                row.storedId = id;
                row.storedCode = tokens.storedValue(id, codeField).toString();
                QStringList changes;
                if (!row.setHolder) row.holder = tokens.storedValue(id, userField).toString();
                if (row.setHolder && *row.setHolder != tokens.storedValue(id, userField).toString())
                    changes << QStringLiteral("пользователь");
                const QVariant storedDate = tokens.storedValue(id, dateField);
                if (row.setDate && row.setDate->toDate() != storedDate.toDate())
                    changes << QStringLiteral("дата");
                if (row.setStatus && *row.setStatus != asInt(tokens.storedValue(id, statusField)))
                    changes << QStringLiteral("статус");
                if (row.setControllers) {
                    // Rows of controllers deleted since name nothing and are not compared.
                    QList<qint32> now;
                    for (const qint32 s : access.value(row.storedCode))
                        if (controllers.labelOf.contains(s)) now.append(s);
                    QList<qint32> wanted = *row.setControllers;
                    std::sort(now.begin(), now.end());
                    std::sort(wanted.begin(), wanted.end());
                    if (now != wanted)
                        changes << QStringLiteral("контроллеры");
                    else
                        row.setControllers.reset(); // the rows stay as they are
                }
                // A changed key gets its card number from its code, as editing
                // gives it; a card number alone that differs (made elsewhere)
                // is no reason to touch the key.
                if (!changes.isEmpty() && row.card != tokens.storedValue(id, cardField).toString())
                    changes << QStringLiteral("жетон");
                row.verdict = changes.isEmpty() ? ImportRow::Verdict::Same : ImportRow::Verdict::Change;
                row.reason =
                    changes.isEmpty() ? QString() : QStringLiteral("изменится: ") + changes.join(u", ");
            } else {
                row.verdict = ImportRow::Verdict::Add;
                if (!row.setDate) row.setDate = QVariant(today);
            }
        }
        if (row.setHolder) row.holder = *row.setHolder;
        reasons.append(why);
        plan.rows.append(row);
    }

    // A code given twice would be written twice: neither row is taken.
    for (qsizetype i = 0; i < plan.rows.size(); ++i) {
        ImportRow& row = plan.rows[i];
        const QList<int> lines = linesOfCode.value(row.code);
        if (lines.size() > 1) {
            QStringList numbers;
            for (const int l : lines)
                numbers << QString::number(l);
            reasons[i] << QStringLiteral("код встречается в файле несколько раз (строки %1)")
                              .arg(numbers.join(u", "));
        }
        if (!reasons.at(i).isEmpty()) {
            row.verdict = ImportRow::Verdict::Refused;
            row.reason = reasons.at(i).join(QStringLiteral("; "));
        }
    }
    return plan;
}

ImportPlan planImportFile(VarekRegister& reg, const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        ImportPlan plan;
        plan.fileError = QStringLiteral("Не удалось открыть файл %1: %2").arg(path, file.errorString());
        return plan;
    }
    if (file.size() > kMaxFileSize) {
        ImportPlan plan;
        plan.fileError = QStringLiteral("Файл %1 слишком велик для файла ключей (больше %2 МиБ).")
                             .arg(path)
                             .arg(kMaxFileSize / (1024 * 1024));
        return plan;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        ImportPlan plan;
        plan.fileError = QStringLiteral("Не удалось прочитать файл %1: %2").arg(path, file.errorString());
        return plan;
    }
    return planImport(reg, bytes);
}

ImportResult applyImport(VarekRegister& reg, const ImportPlan& plan,
                         const std::function<void(int done, int total)>& progress) {
    if (plan.refused())
        throw EDatabaseError(QStringLiteral("Файл не применён: в нём есть отклонённые строки. Исправьте их и "
                                            "проверьте файл снова."));
    ImportResult result;
    QList<const ImportRow*> work;
    for (const ImportRow& r : plan.rows)
        if (r.verdict == ImportRow::Verdict::Add || r.verdict == ImportRow::Verdict::Change) work.append(&r);
    if (work.isEmpty()) return result;

    Table& tokens = reg.taTokens();
    Table& tc = reg.taTC();
    const int codeField = tokens.requireFieldIndex(field::tokenCode);
    int total = static_cast<int>(work.size());
    for (const ImportRow* r : work)
        if (r->setControllers) total += static_cast<int>(r->setControllers->size());
    const auto changed = [] {
        return EDatabaseError(QStringLiteral("Реестр изменился после проверки файла. Проверьте файл снова."));
    };

    const KeyFinder finder(tokens);
    reg.beginUnit();
    try {
        {
            // The views follow the current key on every post; they are re-run once at the end.
            LinkSuspension keys(reg.dataSource1());
            int done = 0;
            QVariantList replaced;
            for (const ImportRow* r : work) {
                if (r->verdict == ImportRow::Verdict::Change) {
                    const int row = tokens.rowOfStored(r->storedId);
                    if (row < 0 || tokens.storedValue(r->storedId, codeField).toString() != r->storedCode)
                        throw changed();
                    tokens.setRecNo(row);
                    tokens.edit();
                    ++result.changed;
                    if (r->setControllers) replaced << r->storedCode;
                } else {
                    if (!finder.rowsOf(r->code).isEmpty()) throw changed();
                    tokens.append();
                    tokens.setFieldValue(field::tokenCode, r->code);
                    tokens.setFieldValue(field::userName, QString());
                    tokens.setFieldValue(field::status, 1);
                    ++result.added;
                }
                tokens.setFieldValue(field::tokenCard, r->card);
                if (r->setHolder) tokens.setFieldValue(field::userName, *r->setHolder);
                if (r->setDate) tokens.setFieldValue(field::giveDate, *r->setDate);
                if (r->setStatus) tokens.setFieldValue(field::status, *r->setStatus);
                tokens.post();
                if (progress) progress(++done, total);
            }
            // Access rows: a changed key's are replaced when the file names its
            // controllers; a new key gets the ones it names.
            if (!replaced.isEmpty()) tc.deleteMatching(field::tokenCode, replaced);
            for (const ImportRow* r : work) {
                if (!r->setControllers) continue;
                const QString code = r->verdict == ImportRow::Verdict::Change ? r->storedCode : r->code;
                for (const qint32 ser : *r->setControllers) {
                    tc.append();
                    tc.setFieldValue(field::tokenCode, code);
                    tc.setFieldValue(field::serNum, ser);
                    tc.post();
                    if (progress) progress(++done, total);
                }
            }
        }
    } catch (...) {
        for (Table* t : {&tokens, &tc})
            if (t->state() == Dataset::State::Edit || t->state() == Dataset::State::Insert) t->cancel();
        reg.dropUnit();
        throw;
    }
    reg.endUnit();

    for (View* view : {&reg.quTokenCtrl(), &reg.quCtrlToken()})
        if (view->active()) view->refresh();
    return result;
}

} // namespace varek
