#include "register/data_link.h"

#include "register/dataset.h"

namespace varek {

DataLink::DataLink(Dataset* dataset, QObject* parent) : QObject(parent), m_dataset(dataset) {
    if (m_dataset) {
        m_dataset->m_links.append(this);
        connect(m_dataset, &Dataset::rowsReset, this, [this] {
            if (m_enabled) emit rowsReset();
        });
        connect(m_dataset, &Dataset::rowChanged, this, [this](int row) {
            if (m_enabled) emit rowChanged(row);
        });
        connect(m_dataset, &QObject::destroyed, this, [this] { m_dataset = nullptr; });
    }
}

DataLink::~DataLink() {
    if (m_dataset) m_dataset->m_links.removeAll(this);
}

void DataLink::addChangeHandler(std::function<void()> handler) {
    m_changeHandlers.push_back(std::move(handler));
}

void DataLink::addEnabledHandler(std::function<void(bool)> handler) {
    m_enabledHandlers.push_back(std::move(handler));
}

void DataLink::setEnabled(bool enabled) {
    if (enabled == m_enabled) return;
    m_enabled = enabled;
    emit enabledChanged(enabled);
    const auto enabledHandlers = m_enabledHandlers;
    for (const auto& h : enabledHandlers)
        h(enabled);
    if (enabled) {
        emit rowsReset();
        if (m_dataset && m_dataset->active()) forwardDataEvent();
    }
}

void DataLink::forwardDataEvent() {
    if (!m_enabled || !m_dataset || !m_dataset->active()) return;
    emit dataChange();
    const auto handlers = m_changeHandlers;
    for (const auto& h : handlers)
        h();
}

} // namespace varek
