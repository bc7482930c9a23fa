#include "WindowGeometry.h"

#include "AppView.h"

#include <cmath>

namespace zarv::window {

namespace {

// A size entry's number: integers, reals and numeric texts all count, since the list is
// hand-edited as often as written by the program; anything else counts as missing.
std::optional<double> numberIn(const std::optional<QVariantMap>& info, const QString& key) {
    if (!info)
        return std::nullopt;
    const QVariant value = info->value(key);
    if (!value.isValid() || value.typeId() == QMetaType::Bool)
        return std::nullopt;
    bool ok = false;
    const double number = value.typeId() == QMetaType::QString
                              ? value.toString().trimmed().toDouble(&ok)
                              : value.toDouble(&ok);
    if (!ok || !std::isfinite(number))
        return std::nullopt;
    return number;
}

bool sameKey(const QVariant& entry, const QString& selected) {
    const QVariant key = entry.toMap().value(QStringLiteral("somevalue"));
    return key.typeId() == QMetaType::QString &&
           key.toString().compare(selected, Qt::CaseInsensitive) == 0;
}

} // namespace

std::optional<QVariantMap> getMiniPanelInfo(const QVariantList& sizes, const QString& selected) {
    for (const QVariant& entry : sizes) {
        if (sameKey(entry, selected))
            return entry.toMap();
    }
    return std::nullopt;
}

double getMiniWidth(const std::optional<QVariantMap>& info) {
    // A panel with no width cannot be shown or clicked back open.
    const auto width = numberIn(info, QStringLiteral("width"));
    return width && *width >= 1 ? *width : kDefaultMiniWidth;
}

double getMiniVerticalOffset(const std::optional<QVariantMap>& info) {
    // Outside [0, 100) the panel would have no height, or be taller than the zoom button's
    // threshold, which then could never open the full window.
    const auto offset = numberIn(info, QStringLiteral("heightoffset"));
    return offset && *offset >= 0 && *offset < kMiniPanelBaseHeight ? *offset
                                                                    : kDefaultMiniVerticalOffset;
}

QSize miniPanelSize(const std::optional<QVariantMap>& info) {
    return {qRound(getMiniWidth(info)), qRound(kMiniPanelBaseHeight - getMiniVerticalOffset(info))};
}

int miniPanelSizeIndex(const QVariantList& sizes, const QString& selected) {
    for (qsizetype i = 0; i < sizes.size(); ++i) {
        if (sameKey(sizes.at(i), selected))
            return int(i);
    }
    return int(sizes.size()) - 1;
}

bool removesTitleBar(const QString& sizeKey) {
    return sizeKey.compare(QLatin1String("pref1"), Qt::CaseInsensitive) == 0 ||
           sizeKey.compare(QLatin1String("pref2"), Qt::CaseInsensitive) == 0;
}

bool wantsBottomRight(bool forceBottomRight, const QString& forcedPosition) {
    if (forceBottomRight)
        return true;
    QString position = forcedPosition.trimmed();
    position.remove(u' ');
    return position.compare(QLatin1String("bottomright"), Qt::CaseInsensitive) == 0;
}

QRect placeWindow(const QRect& current, const QSize& size, const QRect& screen, bool bottomRight) {
    // Qt's y grows downwards, so keeping the bottom edge moves the top by the change in height.
    const int bottom = bottomRight ? screen.y() + screen.height() : current.y() + current.height();
    const int left = bottomRight ? screen.x() + screen.width() - size.width() : current.x();
    return {QPoint(left, bottom - size.height()), size};
}

bool zoomMakesFullWindow(int height) {
    return height <= kMiniPanelBaseHeight;
}

QString initialTabIdentifier(const QString& stored) {
    const QString identifier = stored.trimmed();
    return identifier.isEmpty() ? QStringLiteral("preferences") : identifier;
}

long confirmQuitCode(const QString& buttonIdentifier) {
    if (buttonIdentifier.compare(QLatin1String("confirmquit"), Qt::CaseInsensitive) == 0)
        return kConfirmQuitReturn;
    if (buttonIdentifier.compare(QLatin1String("confirmquitrelaunch"), Qt::CaseInsensitive) == 0)
        return kConfirmQuitRelaunchReturn;
    return kCancelReturn;
}

bool anyCommandModifier(Qt::KeyboardModifiers modifiers) {
    return (modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) != 0;
}

} // namespace zarv::window
