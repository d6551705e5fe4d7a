#pragma once

#include <QWidget>
#include <functional>

class QLabel;
class QSplitter;
class QToolBar;
class QToolButton;

namespace varek {

class Messages;
class MemoList;

// The Details page (tshHint): what passes between the program and the
// programming device. The log list Memo1 (the device's replies), the dump list
// Memo3 (a memory image, hidden at start) and the working list Memo4 (never
// shown), with a toolbar to show or hide, save, clear and load the dump.
class DetailsPage : public QWidget {
    Q_OBJECT
public:
    explicit DetailsPage(Messages& messages, QWidget* parent = nullptr);

    MemoList* logList() const { return m_memo1; }  // Memo1
    MemoList* dumpList() const { return m_memo3; } // Memo3
    MemoList* workList() const { return m_memo4; } // Memo4

    // The toolbar's buttons (icon only; hint, tooltip and accessible name are
    // the same text). The window may give them icons of its own.
    QToolButton* btnHorizontalTile() const { return m_btnHorizontalTile; }
    QToolButton* btnSave() const { return m_btnSave; }
    QToolButton* btnClear1() const { return m_btnClear1; }
    QToolButton* btnNote() const { return m_btnNote; }
    // "Сверить загруженный дамп": compares the dump list with the register's
    // image of the current controller. The page knows no register: the window
    // gives the comparison (it throws; the button runs it under the guard).
    QToolButton* btnCheckDump() const { return m_btnCheckDump; }
    void setCheckDumpHandler(std::function<void()> handler) { m_checkDump = std::move(handler); }

    // DBText1: the name of the controller selected in the register.
    void setControllerName(const QString& name);
    QString controllerName() const;

    bool dumpShown() const;
    // Shows the dump list under the log list; the log list takes half the
    // main window's outer height.
    void showDump();
    // Hides the dump list; the log list fills the page.
    void hideDump();

    // While an exchange with the device runs, the dump list it sends must not
    // change: clearing and loading are refused (their buttons disabled). The
    // caller refuses rebuilding the dump itself.
    void setExchangeRunning(bool running);
    bool exchangeRunning() const { return m_exchangeRunning; }

    // Half the main window's outer height, a half pixel going to the even neighbour.
    int halfWindowHeight() const;

    // The button handlers. They throw; the buttons run them through the guard.
    void BtnHorizontalTileClick();
    void BtnSaveClick();
    void BtnClear1Click();
    void BtnNoteClick();
    void BtnCheckDumpClick();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void sizeShownLists();
    QToolButton* addButton(const QString& name, const QString& hint, const QIcon& icon,
                           void (DetailsPage::*handler)());
    bool refusedDuringExchange();

    Messages& m_messages;
    QToolBar* m_toolbar5;
    QToolButton* m_btnHorizontalTile;
    QToolButton* m_btnSave;
    QToolButton* m_btnClear1;
    QToolButton* m_btnNote;
    QToolButton* m_btnCheckDump;
    std::function<void()> m_checkDump;
    QLabel* m_dbText1;
    QSplitter* m_splitter1;
    MemoList* m_memo1;
    MemoList* m_memo3;
    MemoList* m_memo4;
    bool m_exchangeRunning = false;
    bool m_sizeWhenShown = false;
};

} // namespace varek
