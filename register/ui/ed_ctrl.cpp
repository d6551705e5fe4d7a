#include "register/ui/ed_ctrl.h"
#include "register/fields.h"

#include "core/convert.h"
#include "core/errors.h"
#include "core/messages.h"
#include "register/ui/combo_accessibility.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace varek {

TfrmEdCtrl* frmEdCtrl = nullptr;

TfrmEdCtrl::TfrmEdCtrl(Messages& messages, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), m_messages(messages) {
    setObjectName(QStringLiteral("frmEdCtrl"));
    setWindowTitle(QStringLiteral("Контроллер"));
    setModal(true);
    installComboBoxAccessibility();

    createSaveCancelButtons(this, bbSave, bbCancel);

    auto* grid = new QGridLayout;
    cbObj = addFieldRow<QComboBox>(grid, 0, laObj, QStringLiteral("laObj"), QStringLiteral("Объект:"),
                                   QStringLiteral("cbObj"), this);
    cbObj->setEditable(true);
    cbObj->setInsertPolicy(QComboBox::NoInsert);
    edName = addFieldRow<QLineEdit>(grid, 1, laName, QStringLiteral("laName"),
                                    QStringLiteral("Наименование:"), QStringLiteral("edName"), this);
    edHard = addFieldRow<QLineEdit>(grid, 2, laHard, QStringLiteral("laHard"), QStringLiteral("Прошивка:"),
                                    QStringLiteral("edHard"), this);
    edNote = addFieldRow<QLineEdit>(grid, 3, laNote, QStringLiteral("laNote"), QStringLiteral("Примечание:"),
                                    QStringLiteral("edNote"), this);
    edOpen = addFieldRow<QLineEdit>(grid, 4, laOpen, QStringLiteral("laOpen"), QStringLiteral("Время откр."),
                                    QStringLiteral("edOpen"), this);
    grid->setColumnMinimumWidth(1, 300);
    layOutFieldsAndButtons(this, grid, bbSave, bbCancel);

    // Each field is named by its label (a drop-down would otherwise be named
    // by its current entry); Tab goes down the fields from "Объект:", then to
    // Save and Cancel.
    cbObj->setAccessibleName(laObj->text());
    edName->setAccessibleName(laName->text());
    edHard->setAccessibleName(laHard->text());
    edNote->setAccessibleName(laNote->text());
    edOpen->setAccessibleName(laOpen->text());
    const QList<QWidget*> order{cbObj, edName, edHard, edNote, edOpen, bbSave, bbCancel};
    for (int i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);

    connect(bbSave, &QPushButton::clicked, this, &TfrmEdCtrl::BitBtn1Click);
    connect(bbCancel, &QPushButton::clicked, this, &TfrmEdCtrl::BitBtn2Click);
}

TfrmEdCtrl::~TfrmEdCtrl() {
    if (frmEdCtrl == this) frmEdCtrl = nullptr;
}

void TfrmEdCtrl::limitToFields(const FieldWidthFn& widthOf) {
    limitToField(edName, field::ctrlName, widthOf);
    limitToField(edHard, field::hard, widthOf);
    limitToField(edNote, field::notes, widthOf);
    limitToField(edOpen, field::openTime, widthOf);
}

void TfrmEdCtrl::clearObjects() {
    cbObj->clear();
    cbObj->setEditText(QString());
}

void TfrmEdCtrl::addObject(const QString& name, qint32 objNum) {
    cbObj->addItem(name, QString::number(objNum));
}

void TfrmEdCtrl::selectObject(int index) {
    cbObj->setCurrentIndex(index);
}

QString TfrmEdCtrl::objValue() const {
    const QString text = cbObj->currentText();
    const int chosen = cbObj->currentIndex();
    if (chosen >= 0 && cbObj->itemText(chosen) == text) {
        const QString hidden = cbObj->itemData(chosen).toString();
        if (!hidden.isEmpty()) return hidden;
    }
    for (int i = 0; i < cbObj->count(); ++i) {
        if (cbObj->itemText(i).compare(text, Qt::CaseInsensitive) == 0) {
            const QString hidden = cbObj->itemData(i).toString();
            return hidden.isEmpty() ? text : hidden;
        }
    }
    return text;
}

std::optional<qint32> TfrmEdCtrl::chosenObject() const {
    const auto value = tryStrToInt(objValue());
    if (!value) return std::nullopt;
    for (int i = 0; i < cbObj->count(); ++i)
        if (tryStrToInt(cbObj->itemData(i).toString()) == value) return value;
    return std::nullopt;
}

std::optional<qint32> TfrmEdCtrl::openTime() const {
    const auto value = tryStrToInt(edOpen->text());
    if (!value || *value < 0 || *value > 255) return std::nullopt;
    return value;
}

void TfrmEdCtrl::BitBtn1Click() {
    // Runs inside the dialog's event loop: nothing may leave it as an error.
    guarded(m_messages, [this] {
        const auto objNum = chosenObject();
        if (!objNum) {
            const QString text = cbObj->currentText();
            m_messages.errorReport(
                text.trimmed().isEmpty()
                    ? QStringLiteral("Поле «Объект»: выберите объект из списка.")
                    : QStringLiteral("Поле «Объект»: объекта «%1» нет в списке. Выберите объект из списка.")
                          .arg(text));
            cbObj->setFocus(Qt::OtherFocusReason);
            cbObj->lineEdit()->selectAll();
            return;
        }
        const std::pair<QLineEdit*, const QString&> texts[] = {
            {edName, field::ctrlName}, {edHard, field::hard}, {edNote, field::notes}};
        for (const auto& [edit, name] : texts) {
            const QString refusal = refusalFor(edit, name, m_fitOf);
            if (refusal.isEmpty()) continue;
            m_messages.errorReport(refusal);
            return;
        }
        const auto open = openTime();
        if (!open) {
            m_messages.errorReport(
                QStringLiteral("Поле «Время откр.»: «%1» не является целым числом от 0 до 255.")
                    .arg(edOpen->text()));
            edOpen->setFocus(Qt::OtherFocusReason);
            edOpen->selectAll();
            return;
        }
        ctrl.obj_num = *objNum;
        ctrl.ctrl_name = edName->text();
        ctrl.notes = edNote->text();
        ctrl.hard = edHard->text();
        ctrl.open_time = *open;
        saved = true;
        accept();
    });
}

void TfrmEdCtrl::BitBtn2Click() {
    saved = false;
    reject();
}

void TfrmEdCtrl::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The keyboard starts at the top, on "Объект:", and Tab goes down from there.
    cbObj->setFocus(Qt::OtherFocusReason);
}

namespace {

bool runCtrlEditor(TCtrl& ctrl) {
    return runOneUseEditor(frmEdCtrl, ctrl, &TfrmEdCtrl::ctrl, &TfrmEdCtrl::saved);
}

TfrmEdCtrl& requireCtrlEditor() {
    if (!frmEdCtrl) throw VarekError(QStringLiteral("Редактор контроллера не создан."));
    return *frmEdCtrl;
}

} // namespace

bool NewCtrl(TCtrl& ctrl) {
    TfrmEdCtrl& dlg = requireCtrlEditor();
    dlg.ctrl = ctrl;
    dlg.edName->clear();
    dlg.edHard->clear();
    dlg.edNote->clear();
    dlg.edOpen->setText(QStringLiteral("5"));
    return runCtrlEditor(ctrl);
}

bool EditCtrl(TCtrl& ctrl) {
    TfrmEdCtrl& dlg = requireCtrlEditor();
    dlg.ctrl = TCtrl{};
    dlg.edName->setText(ctrl.ctrl_name);
    dlg.edHard->setText(ctrl.hard);
    dlg.edNote->setText(ctrl.notes);
    dlg.edOpen->setText(QString::number(ctrl.open_time));
    return runCtrlEditor(ctrl);
}

} // namespace varek
