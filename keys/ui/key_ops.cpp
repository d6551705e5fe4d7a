#include "keys/ui/key_ops.h"
#include "register/fields.h"

#include "core/errors.h"
#include "core/messages.h"
#include "keys/token_code.h"
#include "keys/ui/rights_model.h"
#include "register/data_link.h"
#include "register/pg_table_store.h"
#include "register/table.h"
#include "register/varek_register.h"
#include "register/view.h"

#include <QHash>
#include <QSet>

namespace varek {

namespace {

// Resumes a data link however the operation ends. Declared in the order
// DataSource4, DataSource3, so that DataSource3 is resumed first: the
// controllers are restricted to the current object again before the
// controllers' change handler runs.
struct SuspendedLinks {
    explicit SuspendedLinks(VarekRegister& reg) : ctrl(reg.dataSource4()), obj(reg.dataSource3()) {}
    LinkSuspension ctrl;
    LinkSuspension obj;
};

// Drops the editor (and so closes the reader port) when an operation ends
// before NewToken or EditToken did it.
struct EditorRelease {
    std::unique_ptr<TfrmEdToken>& frm;
    ~EditorRelease() { frm.reset(); }
};

// Re-runs a view that is open; a closed view is closed because there is
// nothing to show for the current row, and stays so.
void rerun(View& view) {
    if (view.active()) view.refresh();
}

QString errorText(const std::exception& e) {
    if (const auto* ve = dynamic_cast<const VarekError*>(&e)) return ve->message();
    return QString::fromUtf8(e.what());
}

} // namespace

KeyOperations::KeyOperations(VarekRegister& reg, Messages& messages, QWidget* dialogParent)
    : m_reg(reg), m_messages(messages), m_dialogParent(dialogParent) {}

KeyOperations::~KeyOperations() = default;

void KeyOperations::ToolButton13Click() {
    issue();
}

void KeyOperations::ToolButton8Click() {
    editCurrent();
}

void KeyOperations::ToolButton12Click() {
    deleteCurrent();
}

void KeyOperations::tbDelTokenClick() {
    withdraw();
}

void KeyOperations::createEditor() {
    if (frmEdToken) return;
    frmEdToken = std::make_unique<TfrmEdToken>(m_messages, m_dialogParent);
    Table& tokens = m_reg.taTokens();
    frmEdToken->setFieldWidths(tokens.fieldWidth(field::userName), tokens.fieldWidth(field::tokenCode));
    frmEdToken->checkFieldsWith(
        [&tokens](const QString& field, const QString& text) { return tokens.textFit(field, text); });
}

void KeyOperations::FillRightsTree(TfrmEdToken& frm, bool editing, const QString& storedCode) {
    frm.clearTree();
    Table& obj = m_reg.taObj();
    Table& ctrl = m_reg.taCtrl();
    Table& tc = m_reg.taTC();

    // With DataSource3 suspended the controllers table presents every
    // controller of every object, in obj_num order. The rows are read in
    // place, so no current row moves.
    const int ctrlObj = ctrl.requireFieldIndex(field::objNum);
    const int ctrlName = ctrl.requireFieldIndex(field::ctrlName);
    const int ctrlSer = ctrl.requireFieldIndex(field::serNum);
    struct Controller {
        QString name;
        qint32 serNum;
    };
    QHash<qint64, QVector<Controller>> byObject;
    for (int row = 0; row < ctrl.recordCount(); ++row) {
        const QVariant owner = ctrl.value(row, ctrlObj);
        if (!owner.isValid()) continue;
        byObject[owner.toLongLong()].append({ctrl.value(row, ctrlName).toString(),
                                             static_cast<qint32>(ctrl.value(row, ctrlSer).toLongLong())});
    }

    QSet<qint32> granted;
    if (editing) {
        const int tcCode = tc.requireFieldIndex(field::tokenCode);
        const int tcSer = tc.requireFieldIndex(field::serNum);
        // The key's access rows by the access table's index on token_code.
        std::vector<int> ids;
        if (tc.lookup(tcCode, storedCode, &ids) >= 0) {
            for (int id : ids)
                granted.insert(static_cast<qint32>(tc.storedValue(id, tcSer).toLongLong()));
        } else {
            for (int row = 0; row < tc.recordCount(); ++row)
                if (tc.value(row, tcCode).toString() == storedCode)
                    granted.insert(static_cast<qint32>(tc.value(row, tcSer).toLongLong()));
        }
    }

    const int objNum = obj.requireFieldIndex(field::objNum);
    const int objName = obj.requireFieldIndex(field::objName);
    for (int row = 0; row < obj.recordCount(); ++row) {
        const QVariant number = obj.value(row, objNum);
        RightsModel& rights = frm.rights();
        const QModelIndex node =
            rights.addObject(obj.value(row, objName).toString(), static_cast<qint32>(number.toLongLong()));
        if (!number.isValid()) continue;
        for (const Controller& c : byObject.value(number.toLongLong())) {
            const QModelIndex child = rights.addController(node, c.name, c.serNum);
            if (editing)
                rights.setData(child, granted.contains(c.serNum) ? Qt::Checked : Qt::Unchecked,
                               Qt::CheckStateRole);
        }
    }
}

void KeyOperations::ApplyRights(const QString& code, const QVector<qint32>& rights) {
    Table& tc = m_reg.taTC();
    const QString keys = field::tokenCode + u';' + field::serNum;
    for (const qint32 e : rights) {
        const qint32 ser = e / 10;
        const bool granted = e % 2 != 0;
        // The zero entries at the end of the list stand for no controller.
        if (ser == 0) continue;
        const bool found = tc.locate(keys, {code, ser});
        if (found && !granted) {
            tc.deleteRecord();
        } else if (!found && granted) {
            tc.append();
            tc.setFieldValue(field::tokenCode, code);
            tc.setFieldValue(field::serNum, ser);
            tc.post();
        }
    }
}

int KeyOperations::rowOfCode(const QString& code, int exceptRow) const {
    const Table& tokens = m_reg.taTokens();
    const int codeField = tokens.requireFieldIndex(field::tokenCode);
    // A code stored as it is written (upper case, no blanks) is found by the
    // keys table's index; only a code stored otherwise needs the walk.
    std::vector<int> ids;
    if (tokens.lookup(codeField, code, &ids) >= 0) {
        for (int id : ids) {
            const int row = tokens.rowOfStored(id);
            if (row >= 0 && row != exceptRow) return row;
        }
    }
    for (int row = 0; row < tokens.recordCount(); ++row)
        if (row != exceptRow && normalizeTokenCode(tokens.value(row, codeField).toString()) == code)
            return row;
    return -1;
}

QString KeyOperations::codeTakenMessage(const QString& code, int exceptRow) const {
    const int row = rowOfCode(code, exceptRow);
    if (row < 0) return QString();
    Table& tokens = m_reg.taTokens();
    const QString card = tokens.value(row, tokens.requireFieldIndex(field::tokenCard)).toString();
    const QString name = tokens.value(row, tokens.requireFieldIndex(field::userName)).toString();
    return QStringLiteral("Код %1 уже выдан другому ключу: %2%3. Один код может принадлежать только "
                          "одному ключу.")
        .arg(code, card.isEmpty() ? QStringLiteral("без номера") : card,
             name.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(name));
}

bool KeyOperations::storeKey(const TToken& token, const QString& code, int existingRow) {
    Table& tokens = m_reg.taTokens();
    bool posted = false;
    try {
        if (!isWellFormedTokenCode(code))
            throw EConvertError(QStringLiteral("Код DALLAS должен состоять из 16 шестнадцатеричных цифр"));
        if (existingRow >= 0) {
            tokens.setRecNo(existingRow);
            tokens.edit();
        } else {
            tokens.append();
        }
        tokens.setFieldValue(field::tokenCode, code);
        tokens.setFieldValue(field::tokenCard, CardNumberOf(code));
        tokens.setFieldValue(field::userName, token.user_name);
        tokens.setFieldValue(field::giveDate, token.give_date.date());
        tokens.setFieldValue(field::status, static_cast<qint32>(token.status));
        tokens.post();
        posted = true;
        ApplyRights(code, token.rights);
        return true;
    } catch (const std::exception& e) {
        // Drop whatever pending change the failure left: the key row, or an
        // access row that could not be posted.
        for (Table* table : {&tokens, &m_reg.taTC()})
            if (table->state() == Dataset::State::Edit || table->state() == Dataset::State::Insert)
                table->cancel();
        // On a server the key row and its access rows go in one transaction:
        // the unit is undone whole, and the guard says why.
        if (m_reg.backend() == VarekRegister::Backend::Database) {
            // An edit over a row another workstation changed meanwhile is
            // offered again to the operator (see editCurrent).
            if (existingRow >= 0 && dynamic_cast<const ERowChanged*>(&e)) throw;
            throw EDatabaseError(QStringLiteral("Ключ не сохранён: %1").arg(errorText(e)));
        }
        const QString what =
            posted ? QStringLiteral("Ключ сохранён, но его права доступа записаны не полностью: %1")
                   : QStringLiteral("Ключ не сохранён: %1");
        m_messages.errorReport(errorReportText(what.arg(errorText(e))));
        return false;
    }
}

void KeyOperations::rerunViews() {
    rerun(m_reg.quTokenCtrl());
    rerun(m_reg.quCtrlToken());
}

void KeyOperations::issue() {
    EditorRelease release{frmEdToken};
    createEditor();
    SuspendedLinks suspended(m_reg);
    FillRightsTree(*frmEdToken, false);

    TToken token;
    if (!NewToken(frmEdToken, token)) return;
    const QString code = normalizeTokenCode(token.token_code);

    // One key row per code: an existing key with this code (in whatever case
    // it was stored) is rewritten instead of adding a second one.
    storeKey(token, code, rowOfCode(code, -1));
    // Re-run whether or not the key was stored: a failure in the access rows
    // may have changed some of them already.
    rerunViews();
}

void KeyOperations::editCurrent() {
    EditorRelease release{frmEdToken};
    Table& tokens = m_reg.taTokens();
    TToken token;
    int row = -1;
    if (!tokens.isEmpty()) {
        row = tokens.recNo();
        token.give_date = QDateTime(tokens.asDate(field::giveDate), QTime(0, 0));
        token.user_name = tokens.asString(field::userName);
        token.token_code = tokens.asString(field::tokenCode);
        const qint32 status = tokens.asInteger(field::status);
        token.status = status == 0 || status == 1 ? static_cast<quint8>(status) : 255;
    }
    const QString storedCode = token.token_code;

    SuspendedLinks suspended(m_reg);
    QVector<qint32> typedRights;
    bool again = false;
    for (;;) {
        createEditor();
        FillRightsTree(*frmEdToken, true, storedCode);
        if (again) keepTypedRights(*frmEdToken, typedRights);
        frmEdToken->setCodeCheck([this, row](const QString& code) { return codeTakenMessage(code, row); });

        if (!EditToken(frmEdToken, token)) return;
        const QString code = normalizeTokenCode(token.token_code);
        try {
            storeKey(token, code, row);
            break;
        } catch (const ERowChanged& e) {
            // Another workstation changed the key or its rights meanwhile
            // (on a server only): the register is read anew and the editor
            // shown again with what was typed, to be saved over the fresh rows.
            m_messages.plain(e.message());
            m_reg.refresh();
            row = rowOfCode(storedCode, -1);
            if (row < 0) {
                m_messages.plain(
                    QStringLiteral("Ключ удалён на другом рабочем месте; изменение не записано."));
                break;
            }
            tokens.setRecNo(row);
            typedRights = token.rights;
            again = true;
        }
    }
    rerunViews();
}

void KeyOperations::keepTypedRights(TfrmEdToken& frm, const QVector<qint32>& typed) {
    QHash<qint32, bool> granted; // ser_num -> checked, as the operator left the tree
    for (qint32 entry : typed)
        if (entry != 0) granted.insert(entry / 10, entry % 10 == 1);
    RightsModel& rights = frm.rights();
    for (int position = 0; position < rights.nodeCount(); ++position) {
        const QModelIndex node = rights.nodeAt(position);
        if (!node.parent().isValid()) continue; // an object
        const auto it =
            granted.constFind(static_cast<qint32>(node.data(RightsModel::NumberRole).toLongLong()));
        if (it != granted.constEnd()) frm.setNodeChecked(position, *it);
    }
}

void KeyOperations::deleteCurrent() {
    Table& tokens = m_reg.taTokens();
    if (tokens.active() && !tokens.isEmpty()) {
        const QString card = tokens.asString(field::tokenCard);
        const QString name = tokens.asString(field::userName);
        const QString key = card.isEmpty() ? tokens.asString(field::tokenCode) : card;
        const QString text = name.isEmpty() ? QStringLiteral("Удалить ключ %1?").arg(key)
                                            : QStringLiteral("Удалить ключ %1 (%2)?").arg(key, name);
        if (!m_messages.question(text)) return;
    }
    // On an empty table this fails with the storage layer's error.
    tokens.deleteRecord();
}

void KeyOperations::withdraw() {
    View& keys = m_reg.quCtrlToken();
    // An open view without rows: no key chosen, nothing to withdraw. A closed
    // view (no current controller) fails on reading below.
    if (keys.active() && keys.isEmpty()) return;
    const QString code = keys.asString(field::tokenCode);
    const qint32 ser = keys.asInteger(field::serNum);
    Table& tc = m_reg.taTC();
    if (!tc.locate(field::tokenCode + u';' + field::serNum, {code, ser})) return;
    tc.deleteRecord();
    rerun(m_reg.quCtrlToken());
    // The current key's list of controllers loses the row as well.
    rerun(m_reg.quTokenCtrl());
}

} // namespace varek
