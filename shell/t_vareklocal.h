#pragma once

#include "core/settings.h"

#include <QHash>
#include <QList>
#include <QMainWindow>
#include <QRect>
#include <functional>
#include <memory>

class QComboBox;
class QLabel;
class QProgressBar;
class QSplitter;
class QTabWidget;
class QToolBar;
class QToolButton;

namespace varek {

class DbGrid;
class DetailsPage;
class GridSearch;
class Messages;
class VarekRegister;
class ZintorCommands;

// The main window TVarekLocal: four pages (keys, controllers, details,
// settings), the toolbar buttons that start every operation, the register's
// grids, the two serial port choices; it owns the register, the settings
// store and the port numbers' life for the whole run.
//
// Life: construct (pages built, register closed), FormCreate() (start-up),
// show, run; closing the window runs FormClose() (register closed, settings
// written).
class TTVarekLocal : public QMainWindow {
    Q_OBJECT
public:
    // messages: where boxes go (the real dialogs when null; tests pass RecordingMessages).
    explicit TTVarekLocal(Messages* messages = nullptr, QWidget* parent = nullptr);
    ~TTVarekLocal() override;

    // Start-up: settings read, port lists filled, register opened. False when
    // the register could not be opened: the failed-start message has been
    // shown, the register is closed and the program must end without showing
    // the window (the settings are then not written).
    bool FormCreate();
    // Shutdown: closes the register, then writes both port numbers. A failed
    // write is shown by the default error report; the window closes all the same.
    void FormClose();
    // The program is told to end (a quit signal): ends the run as the
    // operator's close does. A dialog still open is dismissed first, as its
    // Cancel would (a question answers No), so that the operation behind it
    // ends; then the window closes, which stops an exchange with the
    // programming device, closes the register, writes the settings and
    // releases the data directory; then the event loop is told to end.
    void closeOnQuitRequest();

    // Toolbar handlers: each runs its operation through the guard.
    void ToolButton13Click(); // issue a new key
    void ToolButton8Click();  // edit the current key
    void ToolButton12Click(); // delete the current key
    void tbExportKeysClick(); // write the keys into a CSV file
    void tbImportKeysClick(); // check a CSV file of keys and apply it
    void bbAddClick();        // add an object
    void bbEditClick();       // edit the current object
    void bbDelClick();        // delete the current object and its controllers
    void ToolButton4Click();  // add a controller
    void tbMegClick();        // edit the current controller
    void BtnSetTabsClick();   // delete the current controller and its access rows
    void bbTestClick();       // read the device's memory back
    void bbCheckClick();      // read it back and compare it with the register
    void BtnClearClick();     // have the device store the current controller's image
    void BtnSecurityClick();  // have the device write the image into the controller
    void tbDelTokenClick();   // withdraw the current key from the current controller
    void tbBackupClick();     // save a backup of the register
    void tbRestoreClick();    // restore the register from a backup

    // Change handlers of the two port boxes.
    void cbComChange();
    void cbComTokenChange();

    Messages& messages() { return *m_messages; }
    VarekRegister& reg() { return *m_register; }
    Settings& iniStore() { return m_iniStore; }
    QProgressBar* progressBar() const { return m_progressBar1; }
    QTabWidget* pageControl() const { return m_pageControl1; }
    DetailsPage* detailsPage() const { return m_detailsPage; }
    // The programming device's commands (made with the window, never null).
    ZintorCommands* zintorCommands() const { return m_zintorCommands; }

    DbGrid* DBGrid3() const { return m_dbGrid3; }               // keys
    DbGrid* gridAccess() const { return m_gridAccess; }         // controllers of the current key
    DbGrid* DBGrid2() const { return m_dbGrid2; }               // objects
    DbGrid* DBGrid1() const { return m_dbGrid1; }               // controllers of the current object
    DbGrid* DBGrid4() const { return m_dbGrid4; }               // keys of the current controller
    GridSearch* keySearch() const { return m_keySearch; }       // "Поиск ключа" over DBGrid3
    GridSearch* objectSearch() const { return m_objectSearch; } // "Поиск объекта" over DBGrid2

    // The text shown beside a port box for port number n: the device COMn
    // stands for.
    static QString deviceLabelText(quint8 n);

    // The window's outer rectangle: the design rectangle when it lies on one
    // of the screens' available areas, otherwise shrunk to the area of the
    // screen it starts on (or the first screen) and moved onto it.
    static QRect fittedGeometry(const QRect& design, const QList<QRect>& availableAreas);
    static QRect designGeometry() { return QRect(336, 199, 753, 713); }

    // Saves a picture of every page into dir (page1_keys.png, ...) — the
    // screenshot mode of the program (VAREK_SCREENSHOT_DIR).
    void savePagePictures(const QString& dir);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildKeysPage();
    QWidget* buildControllersPage();
    QWidget* buildDetailsPage();
    QWidget* buildSettingsPage();
    // Runs a register operation under the guard as one durable unit of work:
    // its writes reach the files together when it ends, one sync per file.
    void runUnit(const std::function<void()>& operation);
    // An operation on the current row of a grid (keys or objects) whose
    // search hides that row is refused with a message: true when refused.
    bool refuseHiddenRow(DbGrid* grid);

    struct ButtonWiring;
    static const ButtonWiring kButtons[];
    // Makes the toolbar button of that name in the wiring table and adds it to bar.
    QToolButton* addButton(QToolBar* bar, const char* name);
    QLabel* titleBar(const QString& text, const char* name);
    QToolBar* toolBar(const char* name, const QString& title);

    // Fills a port box with the map's entries and selects the entry of number
    // n (the last one when several match).
    void fillPortList(QComboBox* box, quint8 n);
    // The change handlers' common part.
    void portChanged(QComboBox* box, quint8& number, QLabel* deviceLabel);
    void connectPortBox(QComboBox* box, void (TTVarekLocal::*handler)());
    // Puts the window at its design place and size, fitted to the screens;
    // frame: the widths the window frame adds (known once shown).
    void placeOnScreens(const QSize& frame);

    std::unique_ptr<Messages> m_ownMessages;
    Messages* m_messages;
    VarekRegister* m_register;
    Settings m_iniStore;
    bool m_started = false;         // the register was opened: closing writes the settings
    bool m_settingsRefused = false; // settings.ini too large to be one: neither read nor written
    bool m_closed = false;
    bool m_placed = false;

    QTabWidget* m_pageControl1 = nullptr;
    QWidget* m_tshHint = nullptr;
    QHash<QString, QToolButton*> m_buttons; // the toolbar buttons by name
    DbGrid* m_dbGrid3 = nullptr;
    DbGrid* m_gridAccess = nullptr;
    DbGrid* m_dbGrid2 = nullptr;
    DbGrid* m_dbGrid1 = nullptr;
    DbGrid* m_dbGrid4 = nullptr;
    GridSearch* m_keySearch = nullptr;
    GridSearch* m_objectSearch = nullptr;
    QLabel* m_laCount = nullptr;
    QProgressBar* m_progressBar1 = nullptr;
    DetailsPage* m_detailsPage = nullptr;
    ZintorCommands* m_zintorCommands = nullptr;
    QComboBox* m_cbCom = nullptr;
    QComboBox* m_cbComToken = nullptr;
    QLabel* m_laComDevice = nullptr;
    QLabel* m_laComTokenDevice = nullptr;
    QLabel* m_laRegister = nullptr; // where the register lives (read-only)
};

} // namespace varek
