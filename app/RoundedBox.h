#pragma once

#include <QWidget>

// A white box with a thin black outline and rounded corners, drawn behind other
// controls to frame them.
class RoundedBox : public QWidget
{
public:
    explicit RoundedBox(QWidget* parent = nullptr);

    // The radius of the corners for the box's current size.
    int CornerRadius() const;

protected:
    void paintEvent(QPaintEvent* event) override;
};
