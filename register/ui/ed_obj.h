#pragma once

#include "register/records.h"
#include "register/ui/editor_support.h" // FieldWidthFn

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

namespace varek {

class Messages;

// The object editor ("Объект"): a modal dialog created for one NewObj or
// EditObj and destroyed after it.
class TfrmEdObj : public QDialog {
    Q_OBJECT
public:
    explicit TfrmEdObj(QWidget* parent = nullptr);
    // Refused values are reported through messages.
    explicit TfrmEdObj(Messages& messages, QWidget* parent = nullptr);
    ~TfrmEdObj() override;

    // Limits each edit to the width of its field in the objects table, so
    // nothing typed is cut when stored.
    void limitToFields(const FieldWidthFn& widthOf);
    // Checks on Save that each text can be stored in its field (an editor
    // built without messages checks nothing).
    void checkFieldsWith(FieldFitFn fitOf) { m_fitOf = std::move(fitOf); }

    // Save: refuses a text its field cannot store (reported, the field takes
    // the focus and the editor stays open); copies the edits into the
    // dialog's record, sets the saved flag, closes.
    void BitBtn1Click();
    // Cancel: clears the saved flag, closes.
    void BitBtn2Click();

    QLabel* laName;
    QLineEdit* edName;
    QLabel* laAddr;
    QLineEdit* edAddr;
    QLabel* laNote;
    QLineEdit* edNote;
    QPushButton* bbSave;
    QPushButton* bbCancel;

    TCObj obj;          // the dialog's own copy of the record
    bool saved = false; // set only by Save

protected:
    void showEvent(QShowEvent* event) override;

private:
    Messages* m_messages = nullptr;
    FieldFitFn m_fitOf;
};

// The one object editor of the process, or null.
extern TfrmEdObj* frmEdObj;

// Opens the editor for a new object (empty fields). The caller's record gets
// the dialog's copy back, saved or not; the result tells whether it was saved.
// Creates the editor when none exists; destroys it afterwards.
bool NewObj(TCObj& obj, QWidget* parent = nullptr);
// As NewObj, with the fields filled from the record.
bool EditObj(TCObj& obj, QWidget* parent = nullptr);

} // namespace varek
