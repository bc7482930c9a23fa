#pragma once

// Shared by the fuzz targets: reading structured values out of the fuzz bytes, a quiet Qt
// application, a scratch folder, and checks that abort so that libFuzzer (or the replay run)
// reports the input.

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                                                                 \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #condition);     \
            std::fprintf(stderr, __VA_ARGS__);                                                     \
            std::fputc('\n', stderr);                                                              \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace zarv::fuzz {

/// Reads values off the front of the fuzz bytes; once they run out every read gives zeros, so a
/// target never has to check lengths.
class Input {
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool atEnd() const { return m_pos >= m_size; }
    size_t remaining() const { return m_size - m_pos; }

    uint8_t byte() { return atEnd() ? 0 : m_data[m_pos++]; }
    uint16_t u16() { return uint16_t(byte() | (byte() << 8)); }
    uint32_t u32() { return uint32_t(u16()) | (uint32_t(u16()) << 16); }
    uint64_t u64() { return uint64_t(u32()) | (uint64_t(u32()) << 32); }
    bool flag() { return byte() & 1; }
    /// A real number: mostly small and ordinary, sometimes any bit pattern (NaN, infinities).
    double real();

    /// Up to `max` bytes, the length given by the first byte.
    QByteArray bytes(size_t max);
    /// Text from bytes(): any UTF-8, valid or not, but never a NUL character (which no D-Bus
    /// string, udev property or file name can carry).
    QString text(size_t max);
    /// Everything not read yet.
    QByteArray rest();

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

/// Creates the application object the platform code needs, silences Qt's log unless
/// ZARV_FUZZ_VERBOSE is set, and gives the process a private scratch folder (on /dev/shm when
/// there is one, files are written by the thousand) with HOME, TMPDIR and XDG_CONFIG_HOME inside
/// it. Returns the scratch folder. Call once, from LLVMFuzzerInitialize.
QString initialize(int* argc, char*** argv);

/// Runs what was queued on the main thread, so that nothing piles up between inputs.
void drainEvents();

/// Removes everything inside a folder, keeping the folder.
void emptyFolder(const QString& path);

/// The number of file descriptors the process has open.
int openDescriptors();

} // namespace zarv::fuzz
