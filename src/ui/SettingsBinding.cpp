#include "SettingsBinding.h"

#include "platform/UserDefaults.h"

#include <QLabel>
#include <QWidget>

namespace zarv {

namespace {

// A binding is a child of its owner, so it ends with the owner. A named one replaces an earlier
// binding of the same name: a window whose title is bound again at each click keeps one.
void addBinding(QObject* owner, const QString& name, const QString& key,
                std::function<void(const QVariant&)> apply) {
    if (!owner || !apply)
        return;
    UserDefaults& defaults = UserDefaults::standard();
    if (!name.isEmpty()) {
        if (auto* old = owner->findChild<QObject*>(name, Qt::FindDirectChildrenOnly)) {
            QObject::disconnect(&defaults, nullptr, old, nullptr);
            old->setObjectName(QString());
            old->deleteLater(); // the old binding may be what is running now
        }
    }
    auto* binding = new QObject(owner);
    binding->setObjectName(name);
    apply(defaults.objectForKey(key));
    // The binding as context: a change announced on another thread is queued to the owner's
    // (the main) thread. The value is read when applied, so a burst of writes ends on the last.
    QObject::connect(&defaults, &UserDefaults::valueChanged, binding,
                     [&defaults, key, apply = std::move(apply)](const QString& changed) {
                         if (changed == key)
                             apply(defaults.objectForKey(key));
                     });
}

} // namespace

void bindSetting(QObject* owner, const QString& key, std::function<void(const QVariant&)> apply) {
    addBinding(owner, QString(), key, std::move(apply));
}

void bindLabel(QLabel* label, const QString& key) {
    addBinding(label, QStringLiteral("zarv-binding-text"), key,
               [label](const QVariant& value) { label->setText(value.toString()); });
}

void bindWindowTitle(QWidget* window, const QString& key) {
    addBinding(window, QStringLiteral("zarv-binding-windowTitle"), key,
               [window](const QVariant& value) { window->setWindowTitle(value.toString()); });
}

} // namespace zarv
