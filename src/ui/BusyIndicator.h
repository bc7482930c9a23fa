#pragma once

#include <QTimer>
#include <QWidget>

namespace zarv {

/// A small spinning indicator for work under way: the mini panel has room for a square one,
/// where a progress bar would not read. Blank while idle, so the layout does not move.
class BusyIndicator : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool busy READ isBusy WRITE setBusy)
public:
    explicit BusyIndicator(QWidget* parent = nullptr);
    bool isBusy() const { return m_timer.isActive(); }
    void setBusy(bool busy);
    QSize sizeHint() const override { return {20, 20}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QTimer m_timer;
    int m_step = 0;
};

} // namespace zarv
