#pragma once

#include <QtGlobal>

namespace varek {

// The two port numbers n of COMn, process-wide for the whole run: read from
// settings.ini at start-up, changed by the Settings page, written at close.
// 0 means no port chosen. Only the user-interface thread touches them.
inline quint8 ComZintor = 0; // the programming device
inline quint8 ComToken = 0;  // the card reader

} // namespace varek
