#pragma once

#include <QList>
#include <QString>
#include <QVariantMap>

namespace zarv {

/// A bundle folder laid out as NAME.bundle/Contents/{Info.plist, MacOS/<executable>,
/// Resources/...}. Reading a bundle never loads it; load() does, through dlopen. The information
/// is read once at construction; the object is safe to read from any thread, while load(),
/// unload() and symbol() must not race each other. A loaded bundle is unloaded when destroyed.
class Bundle {
public:
    /// CPU type codes, as the Mac's executable-architecture lists give them.
    enum Architecture : int {
        I386 = 7,
        X86_64 = 0x01000007,
        PPC = 18,
        PPC64 = 0x01000012,
        ARM = 12,
        ARM64 = 0x0100000C,
    };

    explicit Bundle(const QString& path);
    ~Bundle();
    Bundle(const Bundle&) = delete;
    Bundle& operator=(const Bundle&) = delete;

    /// The program's own bundle: the folder two levels above the executable when that sits in
    /// Contents/MacOS, else the executable's own folder.
    static Bundle& mainBundle();
    /// Replaces what mainBundle() answers; for tests and tools living outside the bundle.
    static void setMainBundlePath(const QString& path);

    /// True when the folder exists.
    bool exists() const { return m_exists; }
    QString bundlePath() const { return m_path; }
    /// Info.plist as a dictionary; empty when missing or unreadable (with a log line then).
    QVariantMap infoDictionary() const { return m_info; }
    QVariant objectForInfoDictionaryKey(const QString& key) const { return m_info.value(key); }
    QString bundleIdentifier() const;
    QString resourcePath() const;
    /// Contents/Resources/<name>.<type> (or <name> when type is empty) if it exists, else empty.
    QString pathForResource(const QString& name, const QString& type = {}) const;
    /// The image resource <name>.svg, else <name>.png (or <name> itself when it already ends
    /// in one of those), if it exists; else empty.
    QString pathForImageResource(const QString& name) const;
    /// Contents/MacOS/<name> if it exists, else empty.
    QString pathForAuxiliaryExecutable(const QString& name) const;
    /// The file Info.plist's CFBundleExecutable names, if it exists; else empty.
    QString executablePath() const;
    /// The CPU types the executable holds, read from its header; empty when there is none.
    QList<int> executableArchitectures() const;

    /// The CPU types of an ELF or Mach-O (thin or fat) file; empty, with a reason, otherwise.
    static QList<int> architecturesOfFile(const QString& path, QString* error = nullptr);
    /// The architecture of this very process.
    static int currentArchitecture();

    /// Loads the executable (dlopen, symbols resolved now, kept local). On failure the error
    /// carries the file and the loader's own text.
    bool load(QString* error = nullptr);
    bool isLoaded() const { return m_handle != nullptr; }
    void unload();
    /// Address of an exported symbol of the loaded executable, or null.
    void* symbol(const char* name, QString* error = nullptr) const;

private:
    QString m_path;
    bool m_exists = false;
    QVariantMap m_info;
    void* m_handle = nullptr;
};

} // namespace zarv
