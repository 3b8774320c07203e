#include "ui/anchors.h"

#include <QEvent>
#include <QWidget>

namespace tandrel::ui {

namespace {

// One axis: the child's start and length for a parent of length `now`,
// given the design values.
struct Span {
    int start;
    int length;
};

Span Place(int start, int length, int parentDesign, int now, bool nearEdge, bool farEdge)
{
    const int growth = now - parentDesign;
    if (nearEdge && farEdge) return {start, std::max(0, length + growth)};
    if (farEdge) return {start + growth, length};
    if (nearEdge) return {start, length};
    // Anchored to neither edge: the centre keeps its share of the parent.
    return {start + growth / 2, length};
}

}  // namespace

AnchorLayout::AnchorLayout(QObject* parent) : QObject(parent) {}

void AnchorLayout::Add(QWidget* child, Qt::Edges edges)
{
    QWidget* parent = child->parentWidget();
    if (!parent) return;
    bool watched = false;
    for (const Entry& e : entries_) watched = watched || e.parent == parent;
    if (!watched) parent->installEventFilter(this);
    entries_.push_back({child, parent, edges, child->geometry(), parent->size()});
}

void AnchorLayout::Apply(QWidget* parent)
{
    const QSize now = parent->size();
    for (const Entry& e : entries_) {
        if (e.parent != parent) continue;
        const Span x = Place(e.design.x(), e.design.width(), e.parentDesign.width(), now.width(),
                             e.edges.testFlag(Qt::LeftEdge), e.edges.testFlag(Qt::RightEdge));
        const Span y = Place(e.design.y(), e.design.height(), e.parentDesign.height(), now.height(),
                             e.edges.testFlag(Qt::TopEdge), e.edges.testFlag(Qt::BottomEdge));
        const QRect target(x.start, y.start, x.length, y.length);
        if (e.child->geometry() != target) e.child->setGeometry(target);
    }
}

bool AnchorLayout::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Resize && watched->isWidgetType()) Apply(static_cast<QWidget*>(watched));
    return QObject::eventFilter(watched, event);
}

}  // namespace tandrel::ui
