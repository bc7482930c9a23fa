#pragma once

#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariant>

namespace zarv {

/// The per-user settings database. A read looks in three domains, first match wins:
///   1. the argument domain: "-key value" pairs from the command line;
///   2. the persistent domain: a property list under $XDG_CONFIG_HOME, written atomically;
///   3. the registration domain: defaults registered at start-up.
/// Writes go to the persistent domain. Every method is safe from any thread. Writes reach the
/// disk shortly after the last change (debounced), at synchronize() and at exit.
class UserDefaults : public QObject {
    Q_OBJECT
public:
    /// The program's database, created on first use on the calling thread (which should be the
    /// main thread: change signals are delivered there). Its file is
    /// $XDG_CONFIG_HOME/<identifier>.plist; its arguments are the application's.
    static UserDefaults& standard();
    /// Sets the identifier that names standard()'s file; call before the first standard().
    static void setStandardIdentifier(const QString& identifier);

    /// A database over `path` with the given launch arguments (without the program name).
    explicit UserDefaults(const QString& path, const QStringList& arguments = {},
                          QObject* parent = nullptr);
    ~UserDefaults() override;

    QString path() const { return m_path; }

    QVariant objectForKey(const QString& key) const;
    QString stringForKey(const QString& key) const;
    bool boolForKey(const QString& key) const;
    qlonglong integerForKey(const QString& key) const;
    double doubleForKey(const QString& key) const;
    QVariantList arrayForKey(const QString& key) const;
    QVariantMap dictionaryForKey(const QString& key) const;
    QByteArray dataForKey(const QString& key) const;

    /// Stores a value; an invalid QVariant removes the key, like removeObject. A value with no
    /// property-list form is refused with a log line (false), so one bad value can never stop
    /// the whole file from being saved.
    bool setObject(const QString& key, const QVariant& value);
    void removeObject(const QString& key);
    /// Adds to the registration domain; later calls overwrite earlier keys.
    void registerDefaults(const QVariantMap& defaults);
    /// Reads a property-list file of defaults and registers it. False, with the reason logged,
    /// when the file cannot be read or is not a dictionary.
    bool registerDefaultsFromFile(const QString& path);

    /// Writes pending changes now. True when the file is current.
    bool synchronize();

    /// Everything the three domains hold, merged.
    QVariantMap dictionaryRepresentation() const;
    QVariantMap persistentDomain() const;
    QVariantMap argumentDomain() const;

    /// Parses "-key value" launch arguments: YES/NO become booleans, numbers become numbers,
    /// an XML property-list fragment becomes its value, anything else stays a string.
    static QVariantMap parseArguments(const QStringList& arguments);

    /// How long after the last change the file is written.
    static constexpr int kSaveDelayMs = 200;

signals:
    /// Emitted on this object's thread (the main thread for standard()) after a key's
    /// effective value may have changed.
    void valueChanged(const QString& key);

private:
    void load();
    void changed(const QStringList& keys);
    void scheduleSave();

    QString m_path;
    mutable QMutex m_mutex;
    QMutex m_saveMutex; // one writer at a time, so an older snapshot never lands last
    QVariantMap m_arguments;
    QVariantMap m_persistent;
    QVariantMap m_registration;
    bool m_dirty = false;
    QTimer* m_saveTimer = nullptr;
};

} // namespace zarv
