#include "Sheets.h"

#include <QDialog>

namespace zarv {

// Placeholder until written.
QDialog* beginAlertSheet(QWidget*, const Alert& alert, std::function<void(long)> completion) {
    if (completion)
        completion(alert.cancelReturnCode);
    return nullptr;
}
void beginSheet(QWidget*, QDialog*, std::function<void(long)> completion) {
    if (completion)
        completion(kCancelReturn);
}

} // namespace zarv
