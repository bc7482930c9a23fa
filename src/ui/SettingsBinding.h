#pragma once

#include <QString>
#include <QVariant>

#include <functional>

class QLabel;
class QObject;
class QWidget;

namespace zarv {

/// Keeps a widget showing a setting: `apply` runs now with the key's value, then on the main
/// thread each time the key changes, whichever thread wrote it; the binding ends with `owner`.
void bindSetting(QObject* owner, const QString& key, std::function<void(const QVariant&)> apply);
/// A label's text follows a setting.
void bindLabel(QLabel* label, const QString& key);
/// A window's title follows a setting.
void bindWindowTitle(QWidget* window, const QString& key);

} // namespace zarv
