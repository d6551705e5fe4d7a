#pragma once

#include "transfer/key_transfer.h"

#include <QString>

class QWidget;

namespace varek {

class Messages;
class VarekRegister;

// The keys page's "Экспорт ключей в CSV" and "Импорт ключей из CSV": the file
// is chosen through the messages, the import's check is shown in its preview
// and applied on "Применить". The operations throw; the window runs each under
// the error guard.
class KeyTransferOperations {
public:
    KeyTransferOperations(VarekRegister& reg, Messages& messages, QWidget* dialogParent);

    // Writes the keys of subset (every key by default) into a file the
    // operator chooses; a file that exists is replaced only when they agree.
    void exportKeys(const KeySubset& subset = {});
    // Checks a file the operator chooses, shows the check, and applies it as
    // one unit of work on "Применить".
    void importKeys();

private:
    VarekRegister& m_reg;
    Messages& m_messages;
    QWidget* m_dialogParent;
};

} // namespace varek
