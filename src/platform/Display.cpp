#include "Display.h"

#include <dlfcn.h>

namespace zarv {
namespace {

// Whether the X server named by DISPLAY takes a connection. Asked through libxcb, which Qt's
// own X11 support loads anyway, opened here so that the build needs no X11 headers.
bool canReachXServer(QString* why) {
    void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!xcb) {
        *why = QStringLiteral("libxcb.so.1 cannot be loaded: %1")
                   .arg(QString::fromLocal8Bit(::dlerror()));
        return false;
    }
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    const auto hasError = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    bool reached = false;
    if (connect && hasError && disconnect) {
        void* connection = connect(nullptr, nullptr);
        reached = hasError(connection) == 0;
        disconnect(connection); // also frees a connection that failed
    }
    ::dlclose(xcb);
    if (!reached)
        *why = QStringLiteral("the X display \"%1\" cannot be reached")
                   .arg(qEnvironmentVariable("DISPLAY"));
    return reached;
}

} // namespace

bool haveDisplay(QString* why) {
    QString ignored;
    if (!why)
        why = &ignored;
    const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith(QLatin1String("xcb")))
        return true;
    if (platform.isEmpty() && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        *why = QStringLiteral("DISPLAY is not set");
        return false;
    }
    return canReachXServer(why);
}

} // namespace zarv
