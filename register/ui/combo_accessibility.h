#pragma once

namespace varek {

// Drop-down boxes are heard by their label: a box's accessible name is its
// accessibleName, else the text of the label whose buddy it is, and only
// without either its current entry; the current entry is its value. (Left to
// itself, Qt names a drop-down by its current entry on this platform.)
// Installs the accessibility of every QComboBox of the program; called by
// each window that has drop-downs, once is enough.
void installComboBoxAccessibility();

} // namespace varek
