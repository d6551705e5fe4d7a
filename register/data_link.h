#pragma once

#include <QObject>
#include <exception>
#include <functional>
#include <vector>

namespace varek {

class Dataset;

// A data source: binds a dataset to its grid and its change handler. While
// disabled (suspended), its grid does not follow the dataset and its change
// handler does not run; enabling it again counts as a change (the handler
// runs once) and the grid catches up.
//
// Change handlers are plain functions called directly (not through Qt's
// signal machinery), so an error they raise reaches the operation that caused
// the change. The Qt signals are for widgets and models and must not throw.
class DataLink : public QObject {
    Q_OBJECT
public:
    explicit DataLink(Dataset* dataset, QObject* parent = nullptr);
    ~DataLink() override;

    Dataset* dataset() const { return m_dataset; }
    bool enabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    void suspend() { setEnabled(false); }
    void resume() { setEnabled(true); }

    // Runs on every change event forwarded by this link (after dataChange()).
    void addChangeHandler(std::function<void()> handler);
    // Runs when the link is suspended (false) or resumed (true), before the
    // change event that resuming counts as.
    void addEnabledHandler(std::function<void(bool)> handler);

signals:
    // The dataset's change event, while the link is enabled and the dataset
    // active; also once on resuming.
    void dataChange();
    // Forwarded rowsReset/rowChanged while enabled; on resuming, reset.
    void rowsReset();
    void rowChanged(int row);
    void enabledChanged(bool enabled);

private:
    friend class Dataset;
    void forwardDataEvent();

    Dataset* m_dataset;
    bool m_enabled = true;
    std::vector<std::function<void()>> m_changeHandlers;
    std::vector<std::function<void(bool)>> m_enabledHandlers;
};

// Suspends a data link for the life of the guard and resumes it however the
// scope ends. An error raised by resuming (a change handler's) propagates,
// unless the scope is already left by another error, which then wins.
class LinkSuspension {
public:
    explicit LinkSuspension(DataLink& link) : m_link(link), m_uncaught(std::uncaught_exceptions()) {
        m_link.suspend();
    }
    ~LinkSuspension() noexcept(false) {
        if (std::uncaught_exceptions() > m_uncaught) {
            try {
                m_link.resume();
            } catch (...) {
            }
        } else {
            m_link.resume();
        }
    }
    LinkSuspension(const LinkSuspension&) = delete;
    LinkSuspension& operator=(const LinkSuspension&) = delete;

private:
    DataLink& m_link;
    int m_uncaught;
};

} // namespace varek
