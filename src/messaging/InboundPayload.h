#pragma once

#include "platform/NotificationCenter.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

namespace zarv {

/// The keys the program reads from a notification that another program (or a module window)
/// posted, each checked for its type once. A key of the wrong type counts as absent, so no
/// handler acts on an integer, list or dictionary where it expects a text.
struct InboundPayload {
    std::optional<QString> senderApp;
    std::optional<QString> action;
    std::optional<QString> filePath; // shorter than any path limit (PATH_MAX bytes)
    std::optional<QDateTime> appstartup;
    /// The keys that were present with the wrong type.
    QStringList rejected;
};

/// Reads the payload of `notification`; logs one warning per rejected key.
InboundPayload readInboundPayload(const Notification& notification);

} // namespace zarv
