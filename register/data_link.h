#pragma once

#include <QObject>

namespace varek {

class Dataset;

// A data source: binds a dataset to its grid and its change handler. While
// disabled (suspended), its grid does not follow the dataset and its change
// handler does not run; enabling it again counts as a change (the handler
// runs once) and the grid catches up.
class DataLink : public QObject {
    Q_OBJECT
public:
    explicit DataLink(Dataset* dataset, QObject* parent = nullptr);

    Dataset* dataset() const { return m_dataset; }
    bool enabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    void suspend() { setEnabled(false); }
    void resume() { setEnabled(true); }

signals:
    // The dataset's change event, while the link is enabled and the dataset
    // active; also once on resuming.
    void dataChange();
    // Forwarded rowsReset/rowChanged while enabled; on resuming, reset.
    void rowsReset();
    void rowChanged(int row);
    void enabledChanged(bool enabled);

private:
    Dataset* m_dataset;
    bool m_enabled = true;
};

// Suspends a data link for the life of the guard and resumes it however the
// scope ends.
class LinkSuspension {
public:
    explicit LinkSuspension(DataLink& link) : m_link(link) { m_link.suspend(); }
    ~LinkSuspension() { m_link.resume(); }
    LinkSuspension(const LinkSuspension&) = delete;
    LinkSuspension& operator=(const LinkSuspension&) = delete;

private:
    DataLink& m_link;
};

} // namespace varek
