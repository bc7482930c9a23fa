#include "UserDefaults.h"
#include "platform/Log.h"

#include "PropertyList.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QThread>

namespace zarv {
namespace {

QString& standardIdentifier() {
    static QString id = QStringLiteral("com.quellbay.ZarvNikonCapture");
    return id;
}

QString configDirectory() {
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return xdg;
    return QDir::homePath() + QStringLiteral("/.config");
}

QVariant typedArgument(const QString& text) {
    if (text == QLatin1String("YES"))
        return true;
    if (text == QLatin1String("NO"))
        return false;
    static const QRegularExpression integer(QStringLiteral("^[+-]?[0-9]+$"));
    static const QRegularExpression real(
        QStringLiteral("^[+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][+-]?[0-9]+)?$"));
    if (integer.match(text).hasMatch()) {
        bool ok = false;
        const qlonglong v = text.toLongLong(&ok);
        if (ok)
            return v;
    }
    if (real.match(text).hasMatch()) {
        bool ok = false;
        const double v = text.toDouble(&ok);
        if (ok)
            return v;
    }
    if (text.startsWith(u'<')) {
        const QByteArray wrapped = "<plist version=\"1.0\">" + text.toUtf8() + "</plist>";
        const QVariant v = PropertyList::fromData(wrapped);
        if (v.isValid())
            return v;
    }
    return text;
}

bool truthy(const QVariant& v) {
    if (v.typeId() == QMetaType::QString) {
        const QString s = v.toString().trimmed();
        return s.compare(QLatin1String("YES"), Qt::CaseInsensitive) == 0 ||
               s.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 || s.toLongLong() != 0;
    }
    return v.toBool();
}

} // namespace

void UserDefaults::setStandardIdentifier(const QString& identifier) {
    standardIdentifier() = identifier;
}

UserDefaults& UserDefaults::standard() {
    static UserDefaults* instance = [] {
        QStringList args =
            QCoreApplication::instance() ? QCoreApplication::arguments() : QStringList();
        if (!args.isEmpty())
            args.removeFirst();
        auto* d = new UserDefaults(
            configDirectory() + u'/' + standardIdentifier() + QStringLiteral(".plist"), args);
        if (auto* app = QCoreApplication::instance())
            QObject::connect(app, &QCoreApplication::aboutToQuit, d, &UserDefaults::synchronize);
        // Also when main() returns without running the event loop.
        qAddPostRoutine([] { UserDefaults::standard().synchronize(); });
        return d;
    }();
    return *instance;
}

UserDefaults::UserDefaults(const QString& path, const QStringList& arguments, QObject* parent)
    : QObject(parent), m_path(path), m_arguments(parseArguments(arguments)) {
    m_saveTimer = new QTimer(this);
    m_saveTimer->setSingleShot(true);
    m_saveTimer->setInterval(kSaveDelayMs);
    connect(m_saveTimer, &QTimer::timeout, this, &UserDefaults::synchronize);
    load();
}

UserDefaults::~UserDefaults() {
    synchronize();
}

QVariantMap UserDefaults::parseArguments(const QStringList& arguments) {
    QVariantMap result;
    for (qsizetype i = 0; i + 1 < arguments.size(); ++i) {
        const QString& a = arguments.at(i);
        // "-key value"; a lone "-" or "--option" is not a key.
        if (a.size() < 2 || a.at(0) != u'-' || a.at(1) == u'-')
            continue;
        result.insert(a.mid(1), typedArgument(arguments.at(i + 1)));
        ++i;
    }
    return result;
}

void UserDefaults::load() {
    if (!QFileInfo::exists(m_path))
        return;
    QString error;
    const QVariant value = PropertyList::readFile(m_path, &error);
    if (value.typeId() == QMetaType::QVariantMap) {
        m_persistent = value.toMap();
        return;
    }
    if (error.isEmpty())
        error = QStringLiteral("%1 is not a dictionary").arg(m_path);
    // Keep the unreadable file for the user; never write over it.
    QString aside = m_path + QStringLiteral(".corrupt");
    if (QFileInfo::exists(aside))
        aside = m_path + QDateTime::currentDateTime().toString(QStringLiteral(".yyyyMMddHHmmss")) +
                QStringLiteral(".corrupt");
    if (QFile::rename(m_path, aside))
        qCWarning(zarvPlatform).noquote()
            << QStringLiteral("Settings unreadable (%1); kept as %2, starting from the defaults")
                   .arg(error, aside);
    else
        qCWarning(zarvPlatform).noquote()
            << QStringLiteral("Settings unreadable (%1) and could not be moved aside to %2; "
                              "starting from the defaults")
                   .arg(error, aside);
}

QVariant UserDefaults::objectForKey(const QString& key) const {
    QMutexLocker lock(&m_mutex);
    if (auto it = m_arguments.constFind(key); it != m_arguments.cend())
        return *it;
    if (auto it = m_persistent.constFind(key); it != m_persistent.cend())
        return *it;
    return m_registration.value(key);
}

QString UserDefaults::stringForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    switch (v.typeId()) {
    case QMetaType::QString:
        return v.toString();
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::Double:
    case QMetaType::Bool:
        return v.toString();
    default:
        return {};
    }
}

bool UserDefaults::boolForKey(const QString& key) const {
    return truthy(objectForKey(key));
}

qlonglong UserDefaults::integerForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    if (v.typeId() == QMetaType::QString)
        return static_cast<qlonglong>(v.toString().trimmed().toDouble());
    if (v.typeId() == QMetaType::Double)
        return static_cast<qlonglong>(v.toDouble());
    return v.canConvert<qlonglong>() ? v.toLongLong() : 0;
}

double UserDefaults::doubleForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    if (v.typeId() == QMetaType::QString)
        return v.toString().trimmed().toDouble();
    return v.canConvert<double>() ? v.toDouble() : 0.0;
}

QVariantList UserDefaults::arrayForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    return v.typeId() == QMetaType::QVariantList ? v.toList() : QVariantList();
}

QVariantMap UserDefaults::dictionaryForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    return v.typeId() == QMetaType::QVariantMap ? v.toMap() : QVariantMap();
}

QByteArray UserDefaults::dataForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    return v.typeId() == QMetaType::QByteArray ? v.toByteArray() : QByteArray();
}

bool UserDefaults::setObject(const QString& key, const QVariant& value) {
    if (!value.isValid()) {
        removeObject(key);
        return true;
    }
    QString error;
    if (!PropertyList::canRepresent(value, &error)) {
        qCWarning(zarvPlatform).noquote()
            << QStringLiteral("Setting %1 not stored: %2").arg(key, error);
        return false;
    }
    {
        QMutexLocker lock(&m_mutex);
        m_persistent.insert(key, value);
        m_dirty = true;
    }
    changed({key});
    return true;
}

void UserDefaults::removeObject(const QString& key) {
    {
        QMutexLocker lock(&m_mutex);
        if (m_persistent.remove(key) == 0)
            return;
        m_dirty = true;
    }
    changed({key});
}

void UserDefaults::registerDefaults(const QVariantMap& defaults) {
    {
        QMutexLocker lock(&m_mutex);
        m_registration.insert(defaults);
    }
    changed(defaults.keys());
}

bool UserDefaults::registerDefaultsFromFile(const QString& path) {
    QString error;
    const QVariant value = PropertyList::readFile(path, &error);
    if (value.typeId() != QMetaType::QVariantMap) {
        qCWarning(zarvPlatform).noquote()
            << QStringLiteral("Cannot register defaults: %1")
                   .arg(error.isEmpty() ? path + QStringLiteral(" is not a dictionary") : error);
        return false;
    }
    registerDefaults(value.toMap());
    return true;
}

void UserDefaults::changed(const QStringList& keys) {
    if (QThread::currentThread() == thread()) {
        scheduleSave();
        for (const QString& k : keys)
            emit valueChanged(k);
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this, keys] {
            scheduleSave();
            for (const QString& k : keys)
                emit valueChanged(k);
        },
        Qt::QueuedConnection);
}

void UserDefaults::scheduleSave() {
    bool dirty = false;
    {
        QMutexLocker lock(&m_mutex);
        dirty = m_dirty;
    }
    if (dirty)
        m_saveTimer->start();
}

bool UserDefaults::synchronize() {
    QMutexLocker saving(&m_saveMutex);
    QVariantMap snapshot;
    {
        QMutexLocker lock(&m_mutex);
        if (!m_dirty)
            return true;
        snapshot = m_persistent;
        m_dirty = false;
    }
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QString error;
    if (!PropertyList::writeFile(m_path, snapshot, PropertyList::Format::Xml, &error)) {
        qCWarning(zarvPlatform).noquote() << QStringLiteral("Settings not saved: %1").arg(error);
        QMutexLocker lock(&m_mutex);
        m_dirty = true; // try again at the next change or synchronize
        return false;
    }
    return true;
}

QVariantMap UserDefaults::dictionaryRepresentation() const {
    QMutexLocker lock(&m_mutex);
    QVariantMap all = m_registration;
    all.insert(m_persistent);
    all.insert(m_arguments);
    return all;
}

QVariantMap UserDefaults::persistentDomain() const {
    QMutexLocker lock(&m_mutex);
    return m_persistent;
}

QVariantMap UserDefaults::argumentDomain() const {
    QMutexLocker lock(&m_mutex);
    return m_arguments;
}

} // namespace zarv
