#pragma once

#include <QListView>
#include <QStringList>

class QStringListModel;

namespace varek {

// A read-only list of text lines in a fixed-pitch maroon font, 16-pixel rows.
// The lists of the Details page. Selected lines can be copied with Ctrl+C.
class MemoList : public QListView {
    Q_OBJECT
public:
    explicit MemoList(QWidget* parent = nullptr);

    void clear();
    void appendLine(const QString& line);
    void setLines(const QStringList& lines);
    QStringList lines() const;
    int count() const;

    static constexpr int kRowHeight = 16;

signals:
    void linesChanged();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QStringListModel* m_model;
};

} // namespace varek
