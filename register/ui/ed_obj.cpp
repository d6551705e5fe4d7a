#include "register/ui/ed_obj.h"
#include "register/fields.h"

#include "core/messages.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace varek {

TfrmEdObj* frmEdObj = nullptr;

TfrmEdObj::TfrmEdObj(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName(QStringLiteral("frmEdObj"));
    setWindowTitle(QStringLiteral("Объект"));
    setModal(true);

    createSaveCancelButtons(this, bbSave, bbCancel);

    auto* grid = new QGridLayout;
    edName = addFieldRow<QLineEdit>(grid, 0, laName, QStringLiteral("laName"),
                                    QStringLiteral("Наименование:"), QStringLiteral("edName"), this);
    edAddr = addFieldRow<QLineEdit>(grid, 1, laAddr, QStringLiteral("laAddr"), QStringLiteral("Адрес:"),
                                    QStringLiteral("edAddr"), this);
    edNote = addFieldRow<QLineEdit>(grid, 2, laNote, QStringLiteral("laNote"), QStringLiteral("Примечание:"),
                                    QStringLiteral("edNote"), this);
    grid->setColumnMinimumWidth(1, 300);
    layOutFieldsAndButtons(this, grid, bbSave, bbCancel);

    // Each field is named by its label; Tab goes down the fields, then to
    // Save and Cancel.
    edName->setAccessibleName(laName->text());
    edAddr->setAccessibleName(laAddr->text());
    edNote->setAccessibleName(laNote->text());
    const QList<QWidget*> order{edName, edAddr, edNote, bbSave, bbCancel};
    for (int i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);

    connect(bbSave, &QPushButton::clicked, this, &TfrmEdObj::BitBtn1Click);
    connect(bbCancel, &QPushButton::clicked, this, &TfrmEdObj::BitBtn2Click);
}

TfrmEdObj::TfrmEdObj(Messages& messages, QWidget* parent) : TfrmEdObj(parent) {
    m_messages = &messages;
}

TfrmEdObj::~TfrmEdObj() {
    if (frmEdObj == this) frmEdObj = nullptr;
}

void TfrmEdObj::limitToFields(const FieldWidthFn& widthOf) {
    limitToField(edName, field::objName, widthOf);
    limitToField(edAddr, field::addr, widthOf);
    limitToField(edNote, field::notes, widthOf);
}

void TfrmEdObj::BitBtn1Click() {
    if (m_messages) {
        // Runs inside the dialog's event loop: nothing may leave it as an error.
        bool refused = false;
        const bool checked = guarded(*m_messages, [&] {
            const std::pair<QLineEdit*, const QString&> fields[] = {
                {edName, field::objName}, {edAddr, field::addr}, {edNote, field::notes}};
            for (const auto& [edit, name] : fields) {
                const QString refusal = refusalFor(edit, name, m_fitOf);
                if (refusal.isEmpty()) continue;
                m_messages->errorReport(refusal);
                refused = true;
                return;
            }
        });
        if (!checked || refused) return;
    }
    obj.obj_name = edName->text();
    obj.addr = edAddr->text();
    obj.notes = edNote->text();
    saved = true;
    accept();
}

void TfrmEdObj::BitBtn2Click() {
    saved = false;
    reject();
}

void TfrmEdObj::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The first field takes the keyboard, so the operator can type at once.
    edName->setFocus(Qt::OtherFocusReason);
}

namespace {

// Shows the editor modally, copies its record back over the caller's and
// destroys it, however the showing ends.
bool runObjEditor(TCObj& obj) {
    return runOneUseEditor(frmEdObj, obj, &TfrmEdObj::obj, &TfrmEdObj::saved);
}

TfrmEdObj* ensureObjEditor(QWidget* parent) {
    if (!frmEdObj) frmEdObj = new TfrmEdObj(parent);
    return frmEdObj;
}

} // namespace

bool NewObj(TCObj& obj, QWidget* parent) {
    TfrmEdObj* dlg = ensureObjEditor(parent);
    dlg->obj = TCObj{};
    dlg->edName->clear();
    dlg->edAddr->clear();
    dlg->edNote->clear();
    return runObjEditor(obj);
}

bool EditObj(TCObj& obj, QWidget* parent) {
    TfrmEdObj* dlg = ensureObjEditor(parent);
    dlg->obj = obj;
    dlg->edName->setText(obj.obj_name);
    dlg->edAddr->setText(obj.addr);
    dlg->edNote->setText(obj.notes);
    return runObjEditor(obj);
}

} // namespace varek
