#pragma once

#include <functional>

namespace zarv {

/// Sounds the system beep. The core links no widgets, so the beep goes through a replaceable
/// function: the program installs QApplication::beep at start-up, tests install a counter.
/// Without one installed, a bell character goes to standard error when that is a terminal.
/// Safe from any thread; the function is called on the calling thread.
void beep();

/// Replaces the beep function and returns the previous one. An empty function restores the
/// built-in one.
std::function<void()> setBeepFunction(std::function<void()> function);

} // namespace zarv
