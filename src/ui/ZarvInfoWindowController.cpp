#include "ZarvInfoWindowController.h"

namespace zarv {

// Placeholder until written.
ZarvInfoWindowController::ZarvInfoWindowController(QWidget* parent)
    : QDialog(parent), m_ui(nullptr) {}
ZarvInfoWindowController::~ZarvInfoWindowController() = default;
void ZarvInfoWindowController::ibCloseButton() {
    done(-2222);
}

} // namespace zarv
