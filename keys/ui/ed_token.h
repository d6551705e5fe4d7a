#pragma once

#include "register/ui/editor_support.h" // FieldFitFn

#include <QDateTime>
#include <QDialog>
#include <QModelIndex>
#include <QString>
#include <QVector>
#include <functional>
#include <memory>

class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPushButton;

namespace varek {

class Messages;
class RightsModel;
class RightsTreeView;
class TReaderComPort;

// One key as it travels between the key operations and the key editor.
struct TToken {
    QDateTime give_date; // issue date; the editor returns it with time of day 0
    QString user_name;
    QString token_code;
    quint8 status = 0;      // 0 = "Мастер-ключ", 1 = "Доступ", 255 = none chosen
    QVector<qint32> rights; // ser_num * 10 + 1 granted, ser_num * 10 not; 0 for the rest
};

// Hexadecimal digits received from the card reader and not yet turned into a
// code. One for the whole process: it outlives every editor, so digits that
// arrive just before one editor closes complete the frame in the next one.
inline QString ReaderBuf;

// The key editor (modal, caption "Ключ"). Creating it opens the card reader's
// port with ComToken; the port is closed when the dialog closes. The editor
// never touches the register: the caller fills the tree of controllers, and
// NewToken / EditToken exchange one TToken with it.
class TfrmEdToken : public QDialog {
    Q_OBJECT
public:
    // Checks a normalised, well-formed code before it is saved; returns the
    // text of a refusal (shown as a plain message, the editor stays open) or
    // an empty text to accept the code.
    using CodeCheck = std::function<QString(const QString& code)>;

    explicit TfrmEdToken(Messages& messages, QWidget* parent = nullptr);
    ~TfrmEdToken() override;

    // The tree of objects and controllers, filled by the caller: the rights
    // model that tvCtrl shows.
    RightsModel& rights() const { return *m_rights; }
    void clearTree();
    QModelIndex addObjectNode(const QString& text, qint32 objNum);
    QModelIndex addControllerNode(const QModelIndex& objectNode, const QString& text, qint32 serNum);
    // Sets the node at position (all nodes from the top, in the order added).
    void setNodeChecked(int position, bool checked);
    int nodeCount() const;

    // Limits the name field to the width of its stored field, and the code field
    // to twice its width (room for blanks around a pasted code).
    void setFieldWidths(int nameWidth, int codeWidth);
    void setCodeCheck(CodeCheck check) { m_codeCheck = std::move(check); }
    // Checks on Save that the name can be stored in its field (user_name).
    void checkFieldsWith(FieldFitFn fitOf) { m_fitOf = std::move(fitOf); }

    // The rights list of the tree as it stands (see TToken::rights).
    QVector<qint32> CollectRights() const;

    // Data available on the reader port: takes exactly count characters.
    void ReaderPort1TriggerAvail(int count);

    // The text of the reader line under the fields: the port and its device
    // while the port is open; "Считыватель не подключён" when it is not, with
    // the cause when the open failed or the device went away.
    QString readerStatusText() const;
    bool readerConnected() const;
    TReaderComPort* readerPort() const { return ReaderPort1.get(); }

    // Components, named as on the form (objectName is the same).
    QLineEdit* edName = nullptr;
    QDateEdit* dtFirstDay = nullptr;
    QLineEdit* edToken = nullptr;
    QComboBox* cbSign = nullptr;
    RightsTreeView* tvCtrl = nullptr;
    QPushButton* bbSave = nullptr;
    QPushButton* bbCancel = nullptr;
    QLabel* laReader = nullptr;

    void done(int result) override;

private:
    friend bool NewToken(std::unique_ptr<TfrmEdToken>& frmEdToken, TToken& token);
    friend bool EditToken(std::unique_ptr<TfrmEdToken>& frmEdToken, TToken& token);

    void FormCreate();
    void FormClose();
    void BitBtn1Click(); // Save
    void BitBtn2Click(); // Cancel
    // Reads the fields into a record; false (with the message shown) when
    // the code is refused and the editor must stay open.
    bool collectFields(TToken& out);

    Messages& m_messages;
    RightsModel* m_rights = nullptr;
    std::unique_ptr<TReaderComPort> ReaderPort1;
    QString m_readerDevice;
    TToken m_token;
    bool m_saved = false;
    bool m_portClosed = false;
    bool m_readerLost = false;
    QString m_readerCause; // why the reader is not connected (serial_failure.h)
    CodeCheck m_codeCheck;
    FieldFitFn m_fitOf;
};

// Show the editor for a new key / for the key in token; the dialog is
// destroyed and frmEdToken cleared before they return. True when saved; the
// record is then replaced by what was entered (otherwise it stays as given).
bool NewToken(std::unique_ptr<TfrmEdToken>& frmEdToken, TToken& token);
bool EditToken(std::unique_ptr<TfrmEdToken>& frmEdToken, TToken& token);

} // namespace varek
