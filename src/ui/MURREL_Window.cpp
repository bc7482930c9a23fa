#include "MURREL_Window.h"

namespace zarv {

// Placeholder until written.
MURREL_Window::MURREL_Window(QWidget* parent) : QWidget(parent) {}

} // namespace zarv
