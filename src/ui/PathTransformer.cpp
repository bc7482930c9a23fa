#include "PathTransformer.h"

#include "platform/Bundle.h"

#include <atomic>

namespace zarv {

namespace {
std::atomic<bool> g_registered{false};
} // namespace

QString PathTransformer::transformedValue(const QString& name) {
    // The image file itself: appending the name once more, as a path component, would name
    // something inside the file, which exists nowhere.
    if (name.isEmpty())
        return {};
    return Bundle::mainBundle().pathForImageResource(name);
}

void PathTransformer::registerTransformer() {
    g_registered.store(true);
}

bool PathTransformer::isRegistered() {
    return g_registered.load();
}

} // namespace zarv
