#include "image/ui/build_controller_dump.h"
#include "register/fields.h"

#include "core/errors.h"
#include "core/messages.h"
#include "image/controller_dump.h"
#include "image/ui/details_page.h"
#include "image/ui/memo_list.h"
#include "register/data_link.h"
#include "register/table.h"
#include "register/view.h"

namespace varek {

ControllerImage registerImageOf(Table& taCtrl, View& quCtrlToken, DataLink& dataSource5, QString* name) {
    QVector<ImageKey> keys;
    QString controllerName;
    qint32 openTime = 0;
    {
        LinkSuspension suspended(dataSource5);
        quCtrlToken.requireActive();
        quCtrlToken.first();
        openTime = taCtrl.asInteger(field::openTime);
        controllerName = taCtrl.asString(field::ctrlName).trimmed();
        keys.reserve(quCtrlToken.recordCount());
        while (!quCtrlToken.eof()) {
            ImageKey key;
            key.status = quCtrlToken.asInteger(field::status);
            key.tokenCode = quCtrlToken.asString(field::tokenCode);
            key.tokenCard = quCtrlToken.asString(field::tokenCard);
            key.userName = quCtrlToken.asString(field::userName);
            keys.append(key);
            quCtrlToken.next();
        }
        quCtrlToken.first();
    }
    if (name) *name = controllerName;
    return buildControllerImage(controllerName, openTime, keys);
}

QStringList BuildControllerDump(Table& taCtrl, View& quCtrlToken, DataLink& dataSource5, DetailsPage& page,
                                Messages& messages) {
    page.dumpList()->clear();
    page.workList()->clear();
    const ControllerImage image = registerImageOf(taCtrl, quCtrlToken, dataSource5);
    if (!image.built()) {
        messages.plain(image.refusal);
        throw EAbort();
    }
    for (const QString& notice : image.notices)
        messages.plain(notice);
    page.workList()->setLines(image.tailLines());
    page.dumpList()->setLines(image.lines);
    return image.lines;
}

} // namespace varek
