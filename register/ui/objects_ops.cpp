#include "register/ui/objects_ops.h"
#include "register/fields.h"
#include "register/records.h"

#include "core/errors.h"
#include "core/messages.h"
#include "register/data_link.h"
#include "register/pg_table_store.h"
#include "register/table.h"
#include "register/ui/ed_ctrl.h"
#include "register/ui/ed_obj.h"
#include "register/values.h"
#include "register/varek_register.h"
#include "register/view.h"

#include <exception>
#include <limits>

namespace varek {

namespace {

// Detaches the controllers table from the objects table for the life of the
// guard and re-attaches it however the scope ends. An error raised while
// re-attaching (by a change handler) propagates unless another error is
// already leaving the scope.
class MasterDetachment {
public:
    explicit MasterDetachment(Table& table) : m_table(table), m_uncaught(std::uncaught_exceptions()) {
        m_table.detachMaster();
    }
    ~MasterDetachment() noexcept(false) {
        if (std::uncaught_exceptions() > m_uncaught) {
            try {
                m_table.attachMaster();
            } catch (...) {
            }
        } else {
            m_table.attachMaster();
        }
    }
    MasterDetachment(const MasterDetachment&) = delete;
    MasterDetachment& operator=(const MasterDetachment&) = delete;

private:
    Table& m_table;
    int m_uncaught;
};

// Destroys whatever editor dialogs are left at the end of an operation, also
// when it fails before the editor was shown.
struct EditorCleanup {
    ~EditorCleanup() {
        delete frmEdObj;
        frmEdObj = nullptr;
        delete frmEdCtrl;
        frmEdCtrl = nullptr;
    }
};

FieldWidthFn widthsOf(const Table& table) {
    return [&table](const QString& field) {
        try {
            return table.fieldWidth(field);
        } catch (const VarekError&) {
            return 0;
        }
    };
}

// The editors' check that a text can be stored in a field of the table.
FieldFitFn fitsOf(const Table& table) {
    return [&table](const QString& field, const QString& text) { return table.textFit(field, text); };
}

// Writes one row: starts it (start: append or edit), sets its fields (fill)
// and posts it. Whatever interrupts that, the pending change is dropped before
// the error goes on to its report, so that the table takes the next
// operation instead of failing on the same row again.
template <class Start, class Fill> void writeRow(Table& table, Start start, Fill fill) {
    try {
        start();
        fill();
        table.post();
    } catch (...) {
        try {
            table.cancel();
        } catch (...) {
            // The error that interrupted the row is the one to report.
        }
        throw;
    }
}

// One more than the highest number in the field over the table's rows (1 for none).
qint64 highestPlusOne(Table& table, const QString& field) {
    qint64 n = 1;
    for (table.first(); !table.eof(); table.next()) {
        const qint64 num = table.asInteger(field);
        if (num >= n) n = num + 1;
    }
    return n;
}

// After a refused save: a field the operator left as the editor showed it
// takes the value another workstation saved; a changed one keeps the typing.
template <class T> void keepTyped(T& typed, const T& shown, const T& fresh) {
    if (typed == shown) typed = fresh;
}

qint32 nextNumber(qint64 highestPlusOne, const QString& what) {
    if (highestPlusOne > std::numeric_limits<qint32>::max())
        throw EDatabaseError(
            QStringLiteral("Номера %1 исчерпаны: наибольший номер уже 2147483647.").arg(what));
    return static_cast<qint32>(highestPlusOne);
}

} // namespace

ObjectsOperations::ObjectsOperations(VarekRegister& reg, Messages& messages, QWidget* dialogParent)
    : m_reg(reg), m_messages(messages), m_parent(dialogParent) {}

qint32 ObjectsOperations::NextObjNum() {
    Table& obj = m_reg.taObj();
    obj.requireActive();
    // A register shared on a server takes the number there.
    if (const auto shared = m_reg.nextNumber(obj, field::objNum))
        return nextNumber(*shared, QStringLiteral("объектов"));
    qint64 n = 1;
    {
        LinkSuspension suspended(m_reg.dataSource3());
        n = highestPlusOne(obj, field::objNum);
    }
    return nextNumber(n, QStringLiteral("объектов"));
}

qint32 ObjectsOperations::NextSerNum() {
    Table& ctrl = m_reg.taCtrl();
    ctrl.requireActive();
    if (const auto shared = m_reg.nextNumber(ctrl, field::serNum))
        return nextNumber(*shared, QStringLiteral("контроллеров"));
    qint64 n = 1;
    {
        LinkSuspension suspended(m_reg.dataSource4());
        MasterDetachment detached(ctrl);
        n = highestPlusOne(ctrl, field::serNum);
    }
    return nextNumber(n, QStringLiteral("контроллеров"));
}

void ObjectsOperations::addObject() {
    Table& obj = m_reg.taObj();
    obj.requireActive();
    EditorCleanup cleanup;
    objectEditor();
    TCObj rec;
    if (!NewObj(rec)) return;
    const qint32 n = NextObjNum();
    writeRow(
        obj, [&] { obj.append(); },
        [&] {
            obj.setFieldValue(field::objNum, n);
            setObjectFields(obj, rec);
        });
}

void ObjectsOperations::editObject() {
    Table& obj = m_reg.taObj();
    obj.requireActive();
    if (obj.isEmpty()) {
        m_messages.plain(QStringLiteral("Нет объекта для изменения: список объектов пуст."));
        return;
    }
    EditorCleanup cleanup;
    const QVariant objNum = obj.fieldValue(field::objNum);
    TCObj rec = objectOf(obj);
    rec.obj_num = 0; // the editor neither shows nor changes it
    objectEditor();
    // A save refused because another workstation changed the object
    // meanwhile shows the editor again with what was typed, over the fresh row.
    // What the operator did not change takes the fresh row's value.
    TCObj shown = rec;
    while (EditObj(rec)) {
        try {
            writeRow(
                obj, [&] { obj.edit(); }, [&] { setObjectFields(obj, rec); });
            return;
        } catch (const ERowChanged& e) {
            if (!offerAgain(e, obj, objNum,
                            QStringLiteral("Объект удалён на другом рабочем месте; изменение не записано.")))
                return;
            const TCObj fresh = objectOf(obj);
            keepTyped(rec.obj_name, shown.obj_name, fresh.obj_name);
            keepTyped(rec.addr, shown.addr, fresh.addr);
            keepTyped(rec.notes, shown.notes, fresh.notes);
            shown = fresh;
            shown.obj_num = rec.obj_num;
        }
    }
}

bool ObjectsOperations::offerAgain(const ERowChanged& refusal, Table& table, const QVariant& number,
                                   const QString& goneText) {
    m_messages.plain(refusal.message());
    m_reg.refresh();
    const QString field = &table == &m_reg.taObj() ? field::objNum : field::serNum;
    if (!isNullValue(number) && table.locate(field, {number})) return true;
    m_messages.plain(goneText);
    return false;
}

void ObjectsOperations::deleteObject() {
    Table& obj = m_reg.taObj();
    obj.requireRows();
    m_reg.taCtrl().requireActive();
    const QString name = obj.asString(field::objName);
    const int controllers = m_reg.taCtrl().recordCount();
    const QString text =
        controllers > 0
            ? QStringLiteral("Удалить объект «%1» и его контроллеры (%2)?").arg(name).arg(controllers)
            : QStringLiteral("Удалить объект «%1»?").arg(name);
    if (!m_messages.question(text)) return;
    deleteObjectRow();
}

void ObjectsOperations::deleteObjectRow() {
    Table& obj = m_reg.taObj();
    Table& ctrl = m_reg.taCtrl();
    obj.requireRows();
    ctrl.requireActive();
    m_reg.taTC().requireActive();
    // The controllers table presents the current object's controllers: each
    // goes with its access rows, so that no key keeps a right to a number
    // that a later controller may be given.
    QVariantList serNums;
    for (ctrl.first(); !ctrl.eof(); ctrl.next())
        if (!ctrl.isNull(field::serNum)) serNums.append(ctrl.asInteger(field::serNum));
    m_reg.taTC().deleteMatching(field::serNum, serNums);
    for (int left = ctrl.recordCount(); left > 0 && !ctrl.isEmpty(); --left) {
        ctrl.first();
        ctrl.deleteRecord();
    }
    obj.deleteRecord();
    rerunViews();
}

void ObjectsOperations::addController() {
    Table& obj = m_reg.taObj();
    Table& ctrl = m_reg.taCtrl();
    obj.requireActive();
    ctrl.requireActive();
    if (obj.isEmpty()) {
        m_messages.plain(
            QStringLiteral("Нет ни одного объекта: сначала добавьте объект, затем его контроллеры."));
        return;
    }
    EditorCleanup cleanup;
    TfrmEdCtrl& dlg = controllerEditor();
    {
        LinkSuspension suspended(m_reg.dataSource3());
        const qint32 current = obj.asInteger(field::objNum);
        fillObjectBox(dlg, current, current);
    }
    TCtrl rec;
    if (!NewCtrl(rec)) return;
    const qint32 n = NextSerNum();
    writeRow(
        ctrl, [&] { ctrl.append(); },
        [&] {
            setControllerFields(ctrl, rec);
            ctrl.setFieldValue(field::serNum, n);
        });
}

void ObjectsOperations::editController() {
    Table& obj = m_reg.taObj();
    Table& ctrl = m_reg.taCtrl();
    obj.requireActive();
    ctrl.requireActive();
    if (obj.isEmpty() || ctrl.isEmpty()) {
        m_messages.plain(
            obj.isEmpty()
                ? QStringLiteral("Нет контроллера для изменения: список объектов пуст.")
                : QStringLiteral("Нет контроллера для изменения: у текущего объекта нет контроллеров."));
        return;
    }
    EditorCleanup cleanup;
    TfrmEdCtrl& dlg = controllerEditor();
    qint32 serNum = 0;
    {
        LinkSuspension suspended(m_reg.dataSource3());
        MasterDetachment detached(ctrl);
        const qint32 current = obj.asInteger(field::objNum);
        serNum = ctrl.asInteger(field::serNum);
        fillObjectBox(dlg, ctrl.asInteger(field::objNum), current);
    }
    ctrl.locate(field::serNum, {serNum});

    TCtrl rec = controllerOf(ctrl);
    TCtrl shown = rec;
    while (EditCtrl(rec)) {
        try {
            writeRow(
                ctrl, [&] { ctrl.edit(); }, [&] { setControllerFields(ctrl, rec); });
            return;
        } catch (const ERowChanged& e) {
            if (!offerAgain(
                    e, ctrl, QVariant(serNum),
                    QStringLiteral("Контроллер удалён на другом рабочем месте; изменение не записано.")))
                return;
            const TCtrl fresh = controllerOf(ctrl);
            keepTyped(rec.obj_num, shown.obj_num, fresh.obj_num);
            keepTyped(rec.ctrl_name, shown.ctrl_name, fresh.ctrl_name);
            keepTyped(rec.hard, shown.hard, fresh.hard);
            keepTyped(rec.notes, shown.notes, fresh.notes);
            keepTyped(rec.open_time, shown.open_time, fresh.open_time);
            shown = fresh;
        }
    }
}

void ObjectsOperations::deleteController() {
    Table& ctrl = m_reg.taCtrl();
    ctrl.requireRows();
    m_reg.taTC().requireActive();
    const QString name = ctrl.asString(field::ctrlName);
    const int keys = ctrl.isNull(field::serNum) ? 0 : accessCount(ctrl.asInteger(field::serNum));
    const QString text = keys > 0
                             ? QStringLiteral("Удалить контроллер «%1» и права доступа к нему ключей (%2)?")
                                   .arg(name)
                                   .arg(keys)
                             : QStringLiteral("Удалить контроллер «%1»?").arg(name);
    if (!m_messages.question(text)) return;
    deleteControllerRow();
}

void ObjectsOperations::deleteControllerRow() {
    Table& ctrl = m_reg.taCtrl();
    ctrl.requireRows();
    m_reg.taTC().requireActive();
    if (!ctrl.isNull(field::serNum)) deleteAccessRows(ctrl.asInteger(field::serNum));
    ctrl.deleteRecord();
    rerunViews();
}

int ObjectsOperations::accessCount(qint32 serNum) const {
    const Table& tc = m_reg.taTC();
    tc.requireActive();
    const int field = tc.requireFieldIndex(field::serNum);
    // The access table keeps an index on ser_num: no walk over every row.
    const int indexed = tc.lookup(field, QVariant(static_cast<qint64>(serNum)), nullptr);
    if (indexed >= 0) return indexed;
    int count = 0;
    for (int row = 0; row < tc.recordCount(); ++row) {
        const QVariant v = tc.value(row, field);
        if (v.isValid() && v.toLongLong() == serNum) ++count;
    }
    return count;
}

TfrmEdObj& ObjectsOperations::objectEditor() {
    if (!frmEdObj) frmEdObj = new TfrmEdObj(m_messages, m_parent);
    frmEdObj->limitToFields(widthsOf(m_reg.taObj()));
    frmEdObj->checkFieldsWith(fitsOf(m_reg.taObj()));
    return *frmEdObj;
}

TfrmEdCtrl& ObjectsOperations::controllerEditor() {
    if (!frmEdCtrl) frmEdCtrl = new TfrmEdCtrl(m_messages, m_parent);
    frmEdCtrl->limitToFields(widthsOf(m_reg.taCtrl()));
    frmEdCtrl->checkFieldsWith(fitsOf(m_reg.taCtrl()));
    return *frmEdCtrl;
}

void ObjectsOperations::fillObjectBox(TfrmEdCtrl& dlg, qint32 selected, qint32 current) {
    Table& obj = m_reg.taObj();
    dlg.clearObjects();
    int chosen = -1;
    int index = 0;
    try {
        for (obj.first(); !obj.eof(); obj.next(), ++index) {
            const qint32 num = obj.asInteger(field::objNum);
            dlg.addObject(obj.asString(field::objName), num);
            if (num == selected) chosen = index;
        }
    } catch (...) {
        // The operator's object stays current whatever broke the walk.
        try {
            returnToObject(current);
        } catch (...) {
        }
        throw;
    }
    // With no entry of that number the box stays empty, so saving asks for an object.
    dlg.selectObject(chosen);
    returnToObject(current);
}

void ObjectsOperations::returnToObject(qint32 objNum) {
    Table& obj = m_reg.taObj();
    for (obj.first(); !obj.eof(); obj.next())
        if (obj.asInteger(field::objNum) == objNum) return;
}

void ObjectsOperations::deleteAccessRows(qint32 serNum) {
    m_reg.taTC().deleteMatching(field::serNum, serNum);
}

void ObjectsOperations::rerunViews() {
    // The keys of the current controller follow its change event already; the
    // controllers of the current key may have lost access rows.
    if (m_reg.quCtrlToken().active()) m_reg.quCtrlToken().refresh();
    if (m_reg.quTokenCtrl().active()) m_reg.quTokenCtrl().refresh();
}

} // namespace varek
