#include "register/records.h"

#include "register/fields.h"
#include "register/table.h"

namespace varek {

TCObj objectOf(const Table& obj) {
    TCObj rec;
    rec.obj_num = obj.asInteger(field::objNum);
    rec.obj_name = obj.asString(field::objName);
    rec.addr = obj.asString(field::addr);
    rec.notes = obj.asString(field::notes);
    return rec;
}

void setObjectFields(Table& obj, const TCObj& rec) {
    obj.setFieldValue(field::objName, rec.obj_name);
    obj.setFieldValue(field::addr, rec.addr);
    obj.setFieldValue(field::notes, rec.notes);
}

TCtrl controllerOf(const Table& ctrl) {
    TCtrl rec;
    rec.obj_num = ctrl.asInteger(field::objNum);
    rec.open_time = ctrl.asInteger(field::openTime);
    rec.ser_num = ctrl.asInteger(field::serNum);
    rec.notes = ctrl.asString(field::notes);
    rec.hard = ctrl.asString(field::hard);
    rec.ctrl_name = ctrl.asString(field::ctrlName);
    return rec;
}

void setControllerFields(Table& ctrl, const TCtrl& rec) {
    ctrl.setFieldValue(field::objNum, rec.obj_num);
    ctrl.setFieldValue(field::openTime, rec.open_time);
    ctrl.setFieldValue(field::notes, rec.notes);
    ctrl.setFieldValue(field::hard, rec.hard);
    ctrl.setFieldValue(field::ctrlName, rec.ctrl_name);
}

} // namespace varek
