#pragma once

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QVector>

class QWidget;

// Keeps children of one widget at fixed pixel positions, each tied to some of the
// parent's edges: a child tied to the left and right edges grows with the parent's
// width, one tied only to the right edge moves with it. Nothing is ever scaled; a parent
// smaller than its design size simply clips its children.
class AnchorLayout : public QObject
{
public:
    enum Edge : unsigned
    {
        Left = 1u << 0,
        Top = 1u << 1,
        Right = 1u << 2,
        Bottom = 1u << 3,
    };

    // `designSize` is the parent's size for which the positions given to Place are meant.
    AnchorLayout(QWidget* parent, QSize designSize);

    // Puts `child` at `designRect` and keeps it tied to the edges in `edges`.
    void Place(QWidget* child, QRect designRect, unsigned edges);

    // The rectangle a child placed at `designRect` takes in a parent of `size`.
    static QRect Anchored(QRect designRect, unsigned edges, QSize designSize, QSize size);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Item
    {
        QPointer<QWidget> widget;  // null once the child is gone
        QRect designRect;
        unsigned edges;
    };

    void Update();

    QWidget* parent_;
    QSize designSize_;
    QVector<Item> items_;
};
