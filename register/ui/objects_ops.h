#pragma once

#include <QVariant>

#include <QString>

class QWidget;

namespace varek {

class ERowChanged;
class Messages;
class Table;
class TfrmEdCtrl;
class TfrmEdObj;
class VarekRegister;

// The six operations of the "Контроллеры" page over the register: add, edit
// and delete an object; add, edit and delete a controller; with the
// allocation of object and controller numbers.
//
// Errors are thrown (the window's guard reports them); the operator's own
// questions and notices go through Messages. Every change is in the dBASE
// files when an operation returns (the tables write through on post and
// delete); a row whose writing fails is dropped, so the next operation
// starts afresh. Data links that an operation suspends, and the controllers'
// restriction that it detaches, come back however it ends.
class ObjectsOperations {
public:
    // dialogParent: the window the editors open over.
    ObjectsOperations(VarekRegister& reg, Messages& messages, QWidget* dialogParent = nullptr);

    // One more than the highest object number in use, at least 1. Leaves the
    // objects table on its last row.
    qint32 NextObjNum();
    // One more than the highest controller number over all objects, at least 1.
    qint32 NextSerNum();

    void addObject();        // bbAddClick
    void editObject();       // bbEditClick
    void deleteObject();     // bbDelClick: asks, then deleteObjectRow()
    void addController();    // ToolButton4Click
    void editController();   // tbMegClick
    void deleteController(); // BtnSetTabsClick: asks, then deleteControllerRow()

    // Delete the current row with everything that depends on it, without
    // asking (Ctrl+Delete in the objects and controllers grids, after its own
    // confirmation; and the toolbar deletes once answered):
    // the object, its controllers and their access rows;
    void deleteObjectRow();
    // the controller and its access rows.
    void deleteControllerRow();

    // Number of access rows (keys) of the controller numbered serNum.
    int accessCount(qint32 serNum) const;

private:
    // After a save refused because the row changed at another workstation:
    // tells the operator, reads the tables anew and makes the row of number
    // current again; false (goneText told) when it is no longer there.
    bool offerAgain(const ERowChanged& refusal, Table& table, const QVariant& number,
                    const QString& goneText);

    // The editors, created when missing, limited to their table's fields and
    // checking on Save that what was typed can be stored there.
    TfrmEdObj& objectEditor();
    TfrmEdCtrl& controllerEditor();
    // Fills cbObj with every object, selecting the one numbered selected,
    // then walks back to the object numbered current (also when the walk fails).
    void fillObjectBox(TfrmEdCtrl& dlg, qint32 selected, qint32 current);
    // Walks the objects table from its first row to the one numbered objNum (or the end).
    void returnToObject(qint32 objNum);
    void deleteAccessRows(qint32 serNum);
    void rerunViews();

    VarekRegister& m_reg;
    Messages& m_messages;
    QWidget* m_parent;
};

} // namespace varek
