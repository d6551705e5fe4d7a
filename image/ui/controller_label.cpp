#include "image/ui/controller_label.h"
#include "register/fields.h"

#include "core/errors.h"
#include "image/ui/details_page.h"
#include "register/data_link.h"
#include "register/dataset.h"

namespace varek {

namespace {

QString currentControllerName(const DataLink& link) {
    const Dataset* ds = link.dataset();
    if (!ds || !ds->active() || (ds->recNo() < 0 && ds->state() != Dataset::State::Insert)) return QString();
    try {
        return ds->asString(field::ctrlName).trimmed();
    } catch (const VarekError&) {
        return QString(); // a table without the field shows nothing rather than failing in a repaint
    }
}

} // namespace

void bindControllerName(DetailsPage& page, DataLink& dataSource4) {
    auto update = [&page, &dataSource4] { page.setControllerName(currentControllerName(dataSource4)); };
    QObject::connect(&dataSource4, &DataLink::dataChange, &page, update);
    QObject::connect(&dataSource4, &DataLink::rowsReset, &page, update);
    update();
}

} // namespace varek
