#pragma once

// The capability table, shared by the session and the camera controls.

#include <QVariantMap>

namespace zarv {

/// The capability table: capability name -> {"kNkMAIDCapability", "value", "valuetype"},
/// 27 rows. A fresh copy on every call; needs no camera.
QVariantMap GetCapabilityTable();

} // namespace zarv
