#pragma once

#include <QString>
#include <QVariant>

#include <functional>

class QLabel;
class QObject;
class QWidget;

namespace zarv {

/// Keeps a widget showing a setting of UserDefaults::standard(): `apply` runs now with the
/// key's value (invalid when unset), then on the owner's thread (the main thread: call this
/// there) each time the key changes, whichever thread wrote it; the binding ends with `owner`.
void bindSetting(QObject* owner, const QString& key, std::function<void(const QVariant&)> apply);
/// A label's text follows a setting; binding the label again replaces the earlier binding.
void bindLabel(QLabel* label, const QString& key);
/// A window's title follows a setting; binding the title again replaces the earlier binding.
void bindWindowTitle(QWidget* window, const QString& key);

} // namespace zarv
