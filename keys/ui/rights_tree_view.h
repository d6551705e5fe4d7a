#pragma once

#include <QTreeView>

namespace varek {

class RightsModel;

// The check tree of the key editor over a RightsModel: Space or a click on a
// node's check box ticks it. For assistive technology every node is an item
// of the tree that tells whether it is checked, unchecked or partly checked
// (an object with some of its controllers), and whose toggle action ticks it
// as Space does.
class RightsTreeView : public QTreeView {
    Q_OBJECT
public:
    explicit RightsTreeView(QWidget* parent = nullptr);

    void setRightsModel(RightsModel* model);
    RightsModel* rightsModel() const { return m_model; }

    // The nodes as the rows on the screen: each object followed by its
    // controllers while it is open. Assistive technology counts the tree's
    // items so, as the view does in its focus events.
    QModelIndexList visibleNodes() const;

private:
    void announceStates(const QModelIndex& topLeft, const QModelIndex& bottomRight);

    RightsModel* m_model = nullptr;
};

} // namespace varek
