#include "MURREL_Window.h"

namespace zarv {

MURREL_Window::MURREL_Window(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
    setFocusPolicy(Qt::StrongFocus);
}

} // namespace zarv
