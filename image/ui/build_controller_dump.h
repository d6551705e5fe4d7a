#pragma once

#include "image/controller_dump.h"

#include <QStringList>

namespace varek {

class DataLink;
class DetailsPage;
class Messages;
class Table;
class View;

// The memory image the register gives the controller that is current in
// taCtrl, from the keys of quCtrlToken in view order (the builder's result,
// refusal included; nothing is shown). dataSource5 is suspended while the view
// is walked, and the view is left on its first row. controllerName, when
// given, gets the controller's name.
ControllerImage registerImageOf(Table& taCtrl, View& quCtrlToken, DataLink& dataSource5,
                                QString* controllerName = nullptr);

// BuildControllerDump: the memory image of the controller that is current in
// taCtrl, from the keys of quCtrlToken in view order, into the dump list
// (Memo3, 256 lines) and the working list (Memo4, the 228 lines from "00380").
//
// Both lists are emptied first. The view's data link (dataSource5) is
// suspended while the view is walked and resumed however the build ends; the
// view is left on its first row. Notices (too many keys) are shown as plain
// messages and the image is built. When the image is refused (malformed key
// codes, open time out of range) the reason is shown as a plain message, the
// lists stay empty and EAbort is thrown, so the calling operation sends
// nothing. A closed view or table throws the dataset layer's error.
// Returns the dump lines shown, for the exchange that sends them.
QStringList BuildControllerDump(Table& taCtrl, View& quCtrlToken, DataLink& dataSource5, DetailsPage& page,
                                Messages& messages);

} // namespace varek
