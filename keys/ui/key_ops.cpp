#include "keys/ui/key_ops.h"

#include "core/errors.h"
#include "core/messages.h"
#include "keys/token_code.h"
#include "keys/ui/rights_model.h"
#include "register/data_link.h"
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
    frmEdToken->setFieldWidths(tokens.fieldWidth(QStringLiteral("user_name")),
                               tokens.fieldWidth(QStringLiteral("token_code")));
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
    const int ctrlObj = ctrl.requireFieldIndex(QStringLiteral("obj_num"));
    const int ctrlName = ctrl.requireFieldIndex(QStringLiteral("ctrl_name"));
    const int ctrlSer = ctrl.requireFieldIndex(QStringLiteral("ser_num"));
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
        const int tcCode = tc.requireFieldIndex(QStringLiteral("token_code"));
        const int tcSer = tc.requireFieldIndex(QStringLiteral("ser_num"));
        for (int row = 0; row < tc.recordCount(); ++row)
            if (tc.value(row, tcCode).toString() == storedCode)
                granted.insert(static_cast<qint32>(tc.value(row, tcSer).toLongLong()));
    }

    const int objNum = obj.requireFieldIndex(QStringLiteral("obj_num"));
    const int objName = obj.requireFieldIndex(QStringLiteral("obj_name"));
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
    const QString keys = QStringLiteral("token_code;ser_num");
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
            tc.setFieldValue(QStringLiteral("token_code"), code);
            tc.setFieldValue(QStringLiteral("ser_num"), ser);
            tc.post();
        }
    }
}

QString KeyOperations::codeTakenMessage(const QString& code, int exceptRow) const {
    Table& tokens = m_reg.taTokens();
    const int codeField = tokens.requireFieldIndex(QStringLiteral("token_code"));
    const int cardField = tokens.requireFieldIndex(QStringLiteral("token_card"));
    const int nameField = tokens.requireFieldIndex(QStringLiteral("user_name"));
    for (int row = 0; row < tokens.recordCount(); ++row) {
        if (row == exceptRow || normalizeTokenCode(tokens.value(row, codeField).toString()) != code) continue;
        const QString card = tokens.value(row, cardField).toString();
        const QString name = tokens.value(row, nameField).toString();
        return QStringLiteral("Код %1 уже выдан другому ключу: %2%3. Один код может принадлежать только "
                              "одному ключу.")
            .arg(code, card.isEmpty() ? QStringLiteral("без номера") : card,
                 name.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(name));
    }
    return QString();
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
        tokens.setFieldValue(QStringLiteral("token_code"), code);
        tokens.setFieldValue(QStringLiteral("token_card"), CardNumberOf(code));
        tokens.setFieldValue(QStringLiteral("user_name"), token.user_name);
        tokens.setFieldValue(QStringLiteral("give_date"), token.give_date.date());
        tokens.setFieldValue(QStringLiteral("status"), static_cast<qint32>(token.status));
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
    Table& tokens = m_reg.taTokens();
    const int codeField = tokens.requireFieldIndex(QStringLiteral("token_code"));
    int existing = -1;
    for (int row = 0; row < tokens.recordCount() && existing < 0; ++row)
        if (tokens.value(row, codeField).toString() == code) existing = row;
    for (int row = 0; row < tokens.recordCount() && existing < 0; ++row)
        if (normalizeTokenCode(tokens.value(row, codeField).toString()) == code) existing = row;

    storeKey(token, code, existing);
    // Re-run whether or not the key was stored: a failure in the access rows
    // may have changed some of them already.
    rerunViews();
}

void KeyOperations::editCurrent() {
    EditorRelease release{frmEdToken};
    createEditor();

    Table& tokens = m_reg.taTokens();
    TToken token;
    int row = -1;
    if (!tokens.isEmpty()) {
        row = tokens.recNo();
        token.give_date = QDateTime(tokens.asDate(QStringLiteral("give_date")), QTime(0, 0));
        token.user_name = tokens.asString(QStringLiteral("user_name"));
        token.token_code = tokens.asString(QStringLiteral("token_code"));
        const qint32 status = tokens.asInteger(QStringLiteral("status"));
        token.status = status == 0 || status == 1 ? static_cast<quint8>(status) : 255;
    }

    SuspendedLinks suspended(m_reg);
    FillRightsTree(*frmEdToken, true, token.token_code);
    frmEdToken->setCodeCheck([this, row](const QString& code) { return codeTakenMessage(code, row); });

    if (!EditToken(frmEdToken, token)) return;
    const QString code = normalizeTokenCode(token.token_code);
    storeKey(token, code, row);
    rerunViews();
}

void KeyOperations::deleteCurrent() {
    Table& tokens = m_reg.taTokens();
    if (tokens.active() && !tokens.isEmpty()) {
        const QString card = tokens.asString(QStringLiteral("token_card"));
        const QString name = tokens.asString(QStringLiteral("user_name"));
        const QString key = card.isEmpty() ? tokens.asString(QStringLiteral("token_code")) : card;
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
    const QString code = keys.asString(QStringLiteral("token_code"));
    const qint32 ser = keys.asInteger(QStringLiteral("ser_num"));
    Table& tc = m_reg.taTC();
    if (!tc.locate(QStringLiteral("token_code;ser_num"), {code, ser})) return;
    tc.deleteRecord();
    rerun(m_reg.quCtrlToken());
    // The current key's list of controllers loses the row as well.
    rerun(m_reg.quTokenCtrl());
}

} // namespace varek
