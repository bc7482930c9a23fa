#pragma once

#include <QString>

namespace zarv {

/// Image names (the status light's "NSStatusAvailable", ...) to the image files in the
/// bundle's resources; registered once at start-up under the name "PathTransformer".
class PathTransformer {
public:
    /// The image file for `name` in the main bundle's resources (<name>.svg, else <name>.png);
    /// empty for an empty name or when the bundle has no such image. Safe from any thread.
    static QString transformedValue(const QString& name);
    static bool allowsReverseTransformation() { return false; }
    /// Makes the transformer known by its name; calling it again changes nothing.
    static void registerTransformer();
    static bool isRegistered();
};

} // namespace zarv
