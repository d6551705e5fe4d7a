#pragma once

// Pieces shared by the record editors (objects, controllers, keys): the
// Save/Cancel buttons, labelled field rows, field widths, and the showing of
// an editor that lives for one NewX/EditX call. Header only, so that every
// widget library reaches it without linking another; nothing in the core
// register includes it.

#include <QDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QStyle>
#include <QVBoxLayout>
#include <functional>
#include <memory>

namespace varek {

// Width of a stored field by name; 0 or less leaves the edit unlimited.
using FieldWidthFn = std::function<int(const QString& field)>;

// Creates the dialog's "Сохранить" (default) and "Отмена" buttons, with icons
// that tell them apart. Created before the fields, Save and then Cancel lead
// the tab order.
inline void createSaveCancelButtons(QDialog* dialog, QPushButton*& bbSave, QPushButton*& bbCancel) {
    bbSave = new QPushButton(dialog->style()->standardIcon(QStyle::SP_DialogSaveButton),
                             QStringLiteral("Сохранить"), dialog);
    bbSave->setObjectName(QStringLiteral("bbSave"));
    bbSave->setDefault(true);
    bbCancel = new QPushButton(dialog->style()->standardIcon(QStyle::SP_DialogCancelButton),
                               QStringLiteral("Отмена"), dialog);
    bbCancel->setObjectName(QStringLiteral("bbCancel"));
}

// Adds a labelled field of type W at the row of the grid; the label is the
// field's buddy.
template <class W>
W* addFieldRow(QGridLayout* grid, int row, QLabel*& label, const QString& labelName, const QString& text,
               const QString& editName, QWidget* parent) {
    label = new QLabel(text, parent);
    label->setObjectName(labelName);
    auto* edit = new W(parent);
    edit->setObjectName(editName);
    label->setBuddy(edit);
    grid->addWidget(label, row, 0);
    grid->addWidget(edit, row, 1);
    return edit;
}

// The field grid above, the buttons at the bottom left.
inline void layOutFieldsAndButtons(QDialog* dialog, QGridLayout* grid, QPushButton* bbSave,
                                   QPushButton* bbCancel) {
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(bbSave);
    buttons->addWidget(bbCancel);
    buttons->addStretch(1);

    auto* layout = new QVBoxLayout(dialog);
    layout->addLayout(grid);
    layout->addStretch(1);
    layout->addLayout(buttons);
}

// Limits the edit to the width of the stored field, when the width is known.
inline void limitToField(QLineEdit* edit, const QString& field, const FieldWidthFn& widthOf) {
    const int width = widthOf ? widthOf(field) : 0;
    if (width > 0) edit->setMaxLength(width);
}

template <class Dialog> void destroyEditor(Dialog*& editor) {
    delete editor;
    editor = nullptr;
}

template <class Dialog> void destroyEditor(std::unique_ptr<Dialog>& editor) {
    editor.reset();
}

// Shows the editor held by holder (a pointer or a unique_ptr) modally, copies
// its record (recordOf) back over the caller's and destroys it, however the
// showing ends. The result is the editor's saved flag (savedOf), cleared
// before the showing.
template <class Holder, class Dialog, class Record>
bool runOneUseEditor(Holder& holder, Record& record, Record Dialog::*recordOf, bool Dialog::*savedOf) {
    struct Destroy {
        Holder& holder;
        ~Destroy() { destroyEditor(holder); }
    } destroy{holder};
    Dialog& editor = *holder;
    editor.*savedOf = false;
    editor.exec();
    const bool saved = editor.*savedOf;
    record = editor.*recordOf;
    return saved;
}

} // namespace varek
