#pragma once

#include <QWidget>

namespace zarv {

/// A frameless top-level window that still takes keyboard input: it accepts focus and can be
/// made the active window, which a window without a frame otherwise need not be.
class MURREL_Window : public QWidget {
    Q_OBJECT
public:
    explicit MURREL_Window(QWidget* parent = nullptr);
    static bool canBecomeKeyWindow() { return true; }
};

} // namespace zarv
