#pragma once

#include "keys/ui/ed_token.h"

#include <QString>
#include <QVector>
#include <memory>

class QWidget;

namespace varek {

class Messages;
class VarekRegister;

// Issuing, editing, deleting and withdrawing keys: the handlers of the keys
// page ("Выдать жетон", "Изменить...", "Удалить ключ") and of the current
// controller's keys ("Изъять жетон"). The handlers throw; the window runs each
// under the error guard, once.
class KeyOperations {
public:
    KeyOperations(VarekRegister& reg, Messages& messages, QWidget* dialogParent);
    ~KeyOperations();
    KeyOperations(const KeyOperations&) = delete;
    KeyOperations& operator=(const KeyOperations&) = delete;

    void ToolButton13Click(); // issue a key
    void ToolButton8Click();  // edit the current key
    void ToolButton12Click(); // delete the current key
    void tbDelTokenClick();   // withdraw the current key from the current controller

    // Fills the editor's tree with every object and its controllers; when
    // editing, a controller is checked exactly when an access row
    // (storedCode, ser_num) exists. The caller keeps DataSource3 and
    // DataSource4 suspended around it.
    void FillRightsTree(TfrmEdToken& frm, bool editing, const QString& storedCode = QString());
    // Brings the access rows of code in line with a rights list.
    void ApplyRights(const QString& code, const QVector<qint32>& rights);
    // Sets the controllers of the editor's tree that a rights list (see
    // TToken::rights) names as it has them; the others stay as they are.
    void keepTypedRights(TfrmEdToken& frm, const QVector<qint32>& typed);

    // The refusal text when a key other than the current row of the keys
    // table (exceptRow, -1 for none) already holds code; empty otherwise.
    QString codeTakenMessage(const QString& code, int exceptRow) const;
    // The row of the keys table that holds code (in whatever case or with
    // whatever blanks it was stored), other than exceptRow; -1 for none.
    // The first row holding it exactly wins over one holding it otherwise.
    int rowOfCode(const QString& code, int exceptRow) const;

    // The editor while an issue or edit runs (null otherwise).
    TfrmEdToken* editor() const { return frmEdToken.get(); }

private:
    void issue();
    void editCurrent();
    void deleteCurrent();
    void withdraw();
    void createEditor();
    // Writes the key row (row existingRow, or a new row when it is -1) and
    // then its access rows; a failure cancels the pending change and is
    // reported with its reason and with what was stored before it.
    bool storeKey(const TToken& token, const QString& code, int existingRow);
    void rerunViews();

    VarekRegister& m_reg;
    Messages& m_messages;
    QWidget* m_dialogParent;
    std::unique_ptr<TfrmEdToken> frmEdToken;
};

} // namespace varek
