#pragma once

#include "platform/DistributedNotificationCenter.h"

#include <QVariant>

#include <vector>

namespace zarv {

/// Listens for the family's distributed notifications ("zarvTillsideNotification" and
/// "zarvXNotification") and beeps when one comes from another program of the family. Create it
/// and call setup() on the main thread; the handler runs there.
class ZarvNSNotificationCenter {
public:
    /// Listens on the program's default centre, or on the given one.
    explicit ZarvNSNotificationCenter(DistributedNotificationCenter* center = nullptr);
    ~ZarvNSNotificationCenter();
    ZarvNSNotificationCenter(const ZarvNSNotificationCenter&) = delete;
    ZarvNSNotificationCenter& operator=(const ZarvNSNotificationCenter&) = delete;

    /// Starts listening. A second call changes nothing.
    void setup();
    /// Beeps for a sibling's message; its own, and messages without payload or "senderApp",
    /// stay silent.
    void handleDistributedNotificationA(const Notification& notification);

    QVariant _childProcesses; // kept for the family's other programs; unused here

private:
    DistributedNotificationCenter* m_center;
    std::vector<DistributedNotificationCenter::Token> m_tokens;
};

/// The program's listener, created at start-up.
extern ZarvNSNotificationCenter* gZarvNSNotificationCenter;

} // namespace zarv
