#pragma once

#include "app/AppView.h"

#include <functional>

class QDialog;
class QWidget;

namespace zarv {

/// Shows `alert` as a window-modal dialog on `parent` (open(), never a nested event loop;
/// application-modal when `parent` is null): the alert's style as its icon, its message in bold
/// over its informative text, its buttons in the alert's order with the first one the default
/// (an alert without buttons gets "OK"), Escape answering alert.cancelReturnCode. `completion`
/// runs exactly once, on the main thread, with 1000 + the button's position; should the dialog
/// be destroyed unanswered (its parent closed), it gets the cancelling code. Main thread only.
/// Returns the dialog, which deletes itself when done.
QDialog* beginAlertSheet(QWidget* parent, const Alert& alert, std::function<void(long)> completion);

/// Shows the kept `sheet` window-modal on `parent` (made its parent when it is not);
/// `completion` runs once per showing with the code the sheet ended with (QDialog::done(code)),
/// or kCancelReturn should the sheet be destroyed while shown. Showing a sheet that is already
/// shown does nothing (that `completion` never runs). A null sheet answers kCancelReturn at
/// once. Main thread only; the sheet is not deleted.
void beginSheet(QWidget* parent, QDialog* sheet, std::function<void(long)> completion);

} // namespace zarv
