#pragma once

#include "core/messages.h"

class QWidget;

namespace varek {

// The real Messages: Qt message boxes and file dialogs over a parent window.
class WidgetMessages : public Messages {
public:
    explicit WidgetMessages(QWidget* parent = nullptr) : m_parent(parent) {}
    void setParent(QWidget* parent) { m_parent = parent; }

    void plain(const QString& text) override;
    void errorReport(const QString& text) override;
    bool confirm(const QString& caption, const QString& text) override;
    bool question(const QString& text) override;
    QString openFileName(const QString& initialDir, const QString& defaultSuffix) override;
    QString saveFileName(const QString& initialDir) override;

private:
    QWidget* m_parent;
};

} // namespace varek
