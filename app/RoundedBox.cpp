#include "app/RoundedBox.h"

#include <QPainter>
#include <algorithm>

// The box fills no background of its own, so the corners outside the outline show the
// window behind it.
RoundedBox::RoundedBox(QWidget* parent) : QWidget(parent) {}

int RoundedBox::CornerRadius() const
{
    // The corner ellipses are a quarter of the shorter side across, as the classic
    // rounded-rectangle shape draws them.
    return std::min(width(), height()) / 8;
}

void RoundedBox::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(Qt::white);
    // Half a pixel in, so that the one-pixel outline falls on whole pixels.
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = CornerRadius();
    painter.drawRoundedRect(box, radius, radius);
}
