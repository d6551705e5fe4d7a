#pragma once

#include "register/records.h"
#include "register/ui/ed_obj.h" // FieldWidthFn

#include <QDialog>
#include <QString>
#include <optional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace varek {

class Messages;

// The controller editor ("Контроллер"): a modal dialog created by the caller
// (which fills cbObj) for one NewCtrl or EditCtrl and destroyed after it.
class TfrmEdCtrl : public QDialog {
    Q_OBJECT
public:
    // Refused values are reported through messages.
    explicit TfrmEdCtrl(Messages& messages, QWidget* parent = nullptr);
    ~TfrmEdCtrl() override;

    // Limits each edit to the width of its field in the controllers table.
    void limitToFields(const FieldWidthFn& widthOf);
    // Checks on Save that each text can be stored in its field.
    void checkFieldsWith(FieldFitFn fitOf) { m_fitOf = std::move(fitOf); }

    // Entries of cbObj: the object's name shown, its number kept as the
    // hidden value (decimal text).
    void clearObjects();
    void addObject(const QString& name, qint32 objNum);
    void selectObject(int index);

    // The text that the object box yields: the chosen entry's number when the
    // box shows that entry's name; otherwise, for text typed by hand, the
    // number of the first entry whose name equals it without regard to case;
    // otherwise the text itself.
    QString objValue() const;
    // The object number chosen, or nothing when the box names no object in its list.
    std::optional<qint32> chosenObject() const;
    // The opening time typed, or nothing when it is not an integer 0..255.
    std::optional<qint32> openTime() const;

    // Save: checks, in the order of the form, the object, that the name,
    // firmware and note texts can be stored, and the opening time (a wrong
    // value is reported, its field takes the focus and the editor stays
    // open); then copies the
    // fields into the dialog's record, sets the saved flag and closes.
    void BitBtn1Click();
    // Cancel: clears the saved flag, closes.
    void BitBtn2Click();

    QLabel* laObj;
    QComboBox* cbObj;
    QLabel* laName;
    QLineEdit* edName;
    QLabel* laHard;
    QLineEdit* edHard;
    QLabel* laNote;
    QLineEdit* edNote;
    QLabel* laOpen;
    QLineEdit* edOpen;
    QPushButton* bbSave;
    QPushButton* bbCancel;

    TCtrl ctrl;         // the dialog's own copy of the record
    bool saved = false; // set only by Save

protected:
    void showEvent(QShowEvent* event) override;

private:
    Messages& m_messages;
    FieldFitFn m_fitOf;
};

// The one controller editor of the process, or null.
extern TfrmEdCtrl* frmEdCtrl;

// Opens the editor for a new controller: empty fields, opening time "5". The
// caller must have created frmEdCtrl and filled cbObj. The caller's record
// gets the dialog's copy back, saved or not; the result tells whether it was
// saved. The editor is destroyed afterwards.
bool NewCtrl(TCtrl& ctrl);
// As NewCtrl, with the fields filled from the record; the dialog's copy starts empty.
bool EditCtrl(TCtrl& ctrl);

} // namespace varek
