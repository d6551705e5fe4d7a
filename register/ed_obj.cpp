#include "ed_obj.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace varek {

TfrmEdObj* frmEdObj = nullptr;

namespace {

QLineEdit* addRow(QGridLayout* grid, int row, QLabel*& label, const QString& labelName, const QString& text,
                  const QString& editName, QWidget* parent) {
    label = new QLabel(text, parent);
    label->setObjectName(labelName);
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(editName);
    label->setBuddy(edit);
    grid->addWidget(label, row, 0);
    grid->addWidget(edit, row, 1);
    return edit;
}

void limit(QLineEdit* edit, const QString& field, const FieldWidthFn& widthOf) {
    const int width = widthOf ? widthOf(field) : 0;
    if (width > 0) edit->setMaxLength(width);
}

} // namespace

TfrmEdObj::TfrmEdObj(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName(QStringLiteral("frmEdObj"));
    setWindowTitle(QStringLiteral("Объект"));
    setModal(true);

    // Created first, so that Save and then Cancel lead the tab order.
    bbSave = new QPushButton(style()->standardIcon(QStyle::SP_DialogSaveButton), QStringLiteral("Сохранить"),
                             this);
    bbSave->setObjectName(QStringLiteral("bbSave"));
    bbSave->setDefault(true);
    bbCancel =
        new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), QStringLiteral("Отмена"), this);
    bbCancel->setObjectName(QStringLiteral("bbCancel"));

    auto* grid = new QGridLayout;
    edName = addRow(grid, 0, laName, QStringLiteral("laName"), QStringLiteral("Наименование:"),
                    QStringLiteral("edName"), this);
    edAddr = addRow(grid, 1, laAddr, QStringLiteral("laAddr"), QStringLiteral("Адрес:"),
                    QStringLiteral("edAddr"), this);
    edNote = addRow(grid, 2, laNote, QStringLiteral("laNote"), QStringLiteral("Примечание:"),
                    QStringLiteral("edNote"), this);
    grid->setColumnMinimumWidth(1, 300);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(bbSave);
    buttons->addWidget(bbCancel);
    buttons->addStretch(1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addStretch(1);
    layout->addLayout(buttons);

    connect(bbSave, &QPushButton::clicked, this, &TfrmEdObj::BitBtn1Click);
    connect(bbCancel, &QPushButton::clicked, this, &TfrmEdObj::BitBtn2Click);
}

TfrmEdObj::~TfrmEdObj() {
    if (frmEdObj == this) frmEdObj = nullptr;
}

void TfrmEdObj::limitToFields(const FieldWidthFn& widthOf) {
    limit(edName, QStringLiteral("obj_name"), widthOf);
    limit(edAddr, QStringLiteral("addr"), widthOf);
    limit(edNote, QStringLiteral("notes"), widthOf);
}

void TfrmEdObj::BitBtn1Click() {
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
    struct Destroy {
        ~Destroy() {
            delete frmEdObj;
            frmEdObj = nullptr;
        }
    } destroy;
    frmEdObj->saved = false;
    frmEdObj->exec();
    const bool saved = frmEdObj->saved;
    obj = frmEdObj->obj;
    return saved;
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
