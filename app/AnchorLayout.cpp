#include "app/AnchorLayout.h"

#include <QEvent>
#include <QWidget>
#include <algorithm>

AnchorLayout::AnchorLayout(QWidget* parent, QSize designSize)
    : QObject(parent), parent_(parent), designSize_(designSize)
{
    parent->installEventFilter(this);
}

void AnchorLayout::Place(QWidget* child, QRect designRect, unsigned edges)
{
    items_.append({child, designRect, edges});
    child->setGeometry(Anchored(designRect, edges, designSize_, parent_->size()));
}

QRect AnchorLayout::Anchored(QRect designRect, unsigned edges, QSize designSize, QSize size)
{
    const int dx = size.width() - designSize.width();
    const int dy = size.height() - designSize.height();
    QRect r = designRect;
    // An edge tied on both sides stretches; tied only to the far side, the child moves.
    if ((edges & Right) != 0) {
        if ((edges & Left) != 0) {
            r.setWidth(std::max(0, designRect.width() + dx));
        } else {
            r.moveLeft(designRect.left() + dx);
        }
    }
    if ((edges & Bottom) != 0) {
        if ((edges & Top) != 0) {
            r.setHeight(std::max(0, designRect.height() + dy));
        } else {
            r.moveTop(designRect.top() + dy);
        }
    }
    return r;
}

bool AnchorLayout::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parent_ && event->type() == QEvent::Resize) {
        Update();
    }
    return QObject::eventFilter(watched, event);
}

void AnchorLayout::Update()
{
    for (const Item& item : items_) {
        if (item.widget.isNull()) {
            continue;
        }
        item.widget->setGeometry(
            Anchored(item.designRect, item.edges, designSize_, parent_->size()));
    }
}
