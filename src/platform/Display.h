#pragma once

#include <QString>

namespace zarv {

/// Whether a window can be shown. QApplication aborts the process when it finds no display, so
/// a program with a window asks this first: a platform named in QT_QPA_PLATFORM is trusted
/// (offscreen needs nothing) unless it is X11's, a Wayland session is trusted, an X display is
/// tried. When there is none, *why (if given) says what is missing.
bool haveDisplay(QString* why = nullptr);

} // namespace zarv
