#pragma once

#include <QObject>
#include <QString>
#include <memory>

namespace varek {

class Table;
class View;
class DataLink;
class SqlViews;

// The register: the four tables, the two views, the five data links and the
// change handlers that keep the views in step with the current rows.
class VarekRegister : public QObject {
    Q_OBJECT
public:
    explicit VarekRegister(QObject* parent = nullptr);
    ~VarekRegister() override;

    // The protected block of start-up: points the tables at dataDir (with its
    // trailing '/') and opens objects, controllers, keys, access in this
    // order, running the handlers. Throws on any failure (the caller shows the
    // failed-start message). Also takes the advisory lock on the directory.
    void open(const QString& dataDir);
    // Closes every table and view ("closing the session") and releases the lock.
    void close();

    Table& taObj();
    Table& taCtrl();
    Table& taTokens();
    Table& taTC();
    View& quCtrlToken(); // keys of the current controller
    View& quTokenCtrl(); // controllers of the current key

    DataLink& dataSource1(); // keys table
    DataLink& dataSource2(); // quTokenCtrl
    DataLink& dataSource3(); // objects table (drives the controllers' restriction)
    DataLink& dataSource4(); // controllers table
    DataLink& dataSource5(); // quCtrlToken
    SqlViews& sqlViews();    // the engine the views run in

    // Handlers (connected in the constructor; public for tests).
    void DataSource4DataChange();
    void DataSource1DataChange();

    // "Всего:" before the keys table is opened, "Всего N" afterwards, kept up to
    // date with the number of keys.
    QString keyCountText() const;

signals:
    void keyCountChanged(const QString& text);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace varek
