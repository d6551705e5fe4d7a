#pragma once

// Pieces shared by the record editors (objects, controllers, keys): the
// Save/Cancel buttons, labelled field rows, field widths, and the showing of
// an editor that lives for one NewX/EditX call. Header only, so that every
// widget library reaches it without linking another; nothing in the core
// register includes it.

#include "register/dataset.h" // TextFit

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
// Whether a text can be stored in a field by name (Table::textFit).
using FieldFitFn = std::function<TextFit(const QString& field, const QString& text)>;

// A plain look-alike of a typographic character that the register's code
// pages may lack: quotes, dashes, the ellipsis, the no-break space. Empty for
// any other character.
inline QString lookAlikeOf(char32_t c) {
    switch (c) {
    case U'«':
    case U'»':
    case U'„':
    case U'“':
    case U'”':
        return QStringLiteral("\"");
    case U'‘':
    case U'’':
    case U'‚':
        return QStringLiteral("'");
    case U'—':
    case U'–':
    case U'‒':
    case U'−':
        return QStringLiteral("-");
    case U'…':
        return QStringLiteral("...");
    case U'\u00A0':
        return QStringLiteral(" ");
    default:
        return QString();
    }
}

// The name of a field as the operator sees it: the text of the label whose
// buddy the edit is, without its colon.
inline QString fieldLabelOf(const QWidget* edit) {
    if (const QWidget* form = edit->parentWidget()) {
        for (const QLabel* label : form->findChildren<QLabel*>()) {
            if (label->buddy() != edit) continue;
            QString text = label->text().remove(QLatin1Char('&')).trimmed();
            if (text.endsWith(QLatin1Char(':'))) text.chop(1);
            return text;
        }
    }
    return edit->objectName();
}

// Checks the text of an edit against the field it is saved into. When it
// cannot be stored, the result is the refusal to show, naming the field (by
// its label) and the character, with a look-alike offered when the
// field can hold it (every look-alike is ASCII); the edit then has the keyboard, with the offending
// character selected. Empty when the text can be stored (or nothing can tell).
inline QString refusalFor(QLineEdit* edit, const QString& field, const FieldFitFn& fitOf) {
    if (!fitOf) return QString();
    const QString label = fieldLabelOf(edit);
    const QString text = edit->text();
    const TextFit fit = fitOf(field, text);
    if (fit.fits()) return QString();
    edit->setFocus(Qt::OtherFocusReason);
    if (fit.problem == TextFit::Problem::TooLong) {
        edit->selectAll();
        return QStringLiteral(
                   "Поле «%1»: текст слишком длинный. В поле помещается знаков: %2, в тексте их %3. "
                   "Сократите текст.")
            .arg(label)
            .arg(fit.width)
            .arg(fit.length);
    }
    edit->setSelection(static_cast<int>(fit.position), static_cast<int>(fit.size));
    const QString character = text.mid(fit.position, fit.size);
    const bool printable = QChar::isPrint(fit.codePoint) && !QChar::isSpace(fit.codePoint);
    const QString code =
        QStringLiteral("U+%1").arg(static_cast<uint>(fit.codePoint), 4, 16, QLatin1Char('0')).toUpper();
    QString message =
        QStringLiteral("Поле «%1»: символ %2 нельзя сохранить, его нет в кодировке таблицы (%3).")
            .arg(label, printable ? QStringLiteral("%1 (%2)").arg(character, code) : code, fit.codePage);
    // Every look-alike is ASCII, which each code page of the register holds.
    const QString lookAlike = lookAlikeOf(fit.codePoint);
    if (lookAlike == QLatin1String(" "))
        message += QStringLiteral(" Замените его обычным пробелом.");
    else if (!lookAlike.isEmpty())
        message += QStringLiteral(" Замените его на «%1».").arg(lookAlike);
    else
        message += QStringLiteral(" Удалите его или замените другим.");
    return message;
}

// Creates the dialog's "Сохранить" (default) and "Отмена" buttons, with icons
// that tell them apart. They are created before the fields; each editor sets
// its Tab order so that Save and then Cancel come after the fields.
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
