#include "ConfirmQuitSheet.h"

namespace zarv {

// Placeholder until written.
ConfirmQuitSheet::ConfirmQuitSheet(QWidget* parent) : QDialog(parent), m_ui(nullptr) {}
ConfirmQuitSheet::~ConfirmQuitSheet() = default;
void ConfirmQuitSheet::ibCloseConfirmWindow(QObject*) {
    done(-2222);
}

} // namespace zarv
