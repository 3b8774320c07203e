// Anchors: each child keeps its distances to the edges of its parent that it
// is anchored to. A child anchored to two opposite edges stretches along that
// axis; one anchored to neither keeps its centre at the same share of the
// parent. This is not a layout manager: children keep the geometry they were
// given, and only a resize of their parent moves them.
#pragma once

#include <QObject>
#include <QRect>
#include <QSize>
#include <Qt>
#include <vector>

class QWidget;

namespace tandrel::ui {

class AnchorLayout : public QObject {
    Q_OBJECT
public:
    explicit AnchorLayout(QObject* parent = nullptr);

    // Anchors `child` to `edges` of its parent widget, as both stand now:
    // place the parent and the child at their design geometry first.
    void Add(QWidget* child, Qt::Edges edges);

    // Places the children of `parent` for its current size. Runs by itself
    // whenever an anchored child's parent is resized.
    void Apply(QWidget* parent);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Entry {
        QWidget* child;
        QWidget* parent;
        Qt::Edges edges;
        QRect design;        // the child's geometry when added
        QSize parentDesign;  // its parent's size at that moment
    };
    std::vector<Entry> entries_;
};

}  // namespace tandrel::ui
