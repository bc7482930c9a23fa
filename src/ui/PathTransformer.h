#pragma once

#include <QString>

namespace zarv {

/// Image names (the status light's "NSStatusAvailable", ...) to the image files in the
/// bundle's resources; registered once at start-up under the name "PathTransformer".
class PathTransformer {
public:
    /// The image file for `name` (an empty name gives an empty path); empty when the bundle
    /// has no such image.
    static QString transformedValue(const QString& name);
    static bool allowsReverseTransformation() { return false; }
    /// Makes the transformer known by its name; once per process.
    static void registerTransformer();
    static bool isRegistered();
};

} // namespace zarv
