#include "PathTransformer.h"

namespace zarv {

// Placeholder until written.
QString PathTransformer::transformedValue(const QString&) {
    return {};
}
void PathTransformer::registerTransformer() {}
bool PathTransformer::isRegistered() {
    return false;
}

} // namespace zarv
