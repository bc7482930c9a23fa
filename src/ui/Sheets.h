#pragma once

#include "app/AppView.h"

#include <functional>

class QDialog;
class QWidget;

namespace zarv {

/// Shows `alert` as a window-modal dialog on `parent` (open(), never a nested event loop):
/// the alert's style as its icon, its buttons in the alert's order with the first one the
/// default, Escape answering the cancelling choice. `completion` runs once on the main thread
/// with 1000 + the button's position. Returns the dialog (it deletes itself when done).
QDialog* beginAlertSheet(QWidget* parent, const Alert& alert, std::function<void(long)> completion);

/// Shows `sheet` window-modal on `parent`; `completion` gets the code the sheet ended with
/// (QDialog::done(code)). The sheet is kept for reuse, not deleted.
void beginSheet(QWidget* parent, QDialog* sheet, std::function<void(long)> completion);

} // namespace zarv
