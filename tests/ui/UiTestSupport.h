#pragma once

// What the widget tests share.

#include "controls/CameraControls.h"
#include "platform/Dispatch.h"

#include <QList>
#include <QWidget>

namespace zarv::test {

/// Dialogs of type T the window shows, newest last.
template <class T> QList<T*> shownOn(QWidget& window) {
    QList<T*> shown;
    for (T* dialog : window.findChildren<T*>())
        if (dialog->isVisible())
            shown << dialog;
    return shown;
}

/// Camera controls on `queue` with no camera session: whatever needs the camera gets nothing.
inline CameraControls::Options controlsWithoutCamera(DispatchQueue& queue) {
    CameraControls::Options options;
    options.cameraQueue = &queue;
    options.session = [] { return std::shared_ptr<CameraSettingsSubject>(); };
    return options;
}

} // namespace zarv::test
