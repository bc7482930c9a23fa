#include "SettingsBinding.h"

namespace zarv {

// Placeholder until written.
void bindSetting(QObject*, const QString&, std::function<void(const QVariant&)>) {}
void bindLabel(QLabel*, const QString&) {}
void bindWindowTitle(QWidget*, const QString&) {}

} // namespace zarv
