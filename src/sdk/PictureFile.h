#pragma once

// A picture's file while it is being received: made in the folder it will be saved in, written
// piece by piece as the pieces arrive, and named only once it is complete and on the disk.
// Until then it has no name (or a hidden one), and a file never finished leaves nothing behind.
// The caller decides the folder and the name; this knows nothing of cameras or settings.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace zarv {

class PictureFile {
public:
    /// How the file is kept until it is named.
    enum class Scratch {
        Unnamed, // an unnamed file; a hidden one where the folder's file system has none
        Hidden,  // a hidden file, `.zarv-transfer-XXXXXX`, whatever the file system offers
    };

    PictureFile() = default;
    /// A file not yet named goes: nothing of it stays in the folder.
    ~PictureFile();
    PictureFile(const PictureFile&) = delete;
    PictureFile& operator=(const PictureFile&) = delete;

    /// Makes the file in `folder`. False, with errno set, when none can be made there.
    bool begin(const std::string& folder, Scratch scratch = Scratch::Unnamed);
    /// Writes the bytes behind those written so far and starts their writeback, so that the
    /// sync in finish finds little left to write. False, with errno set (ENOSPC for a write
    /// that made no progress), unless every byte was written.
    bool append(const void* bytes, size_t size);
    /// Names the complete file: syncs it, gives it the first of the names nameFor(0),
    /// nameFor(1), ... (each a name inside the folder) that is free, never replacing a file,
    /// and syncs the folder. nameFor returns an empty name to give up (errno EEXIST then).
    /// True with *name the name given. False with errno set and *name the last name tried,
    /// empty when the file's own sync failed.
    bool finish(const std::function<std::string(int attempt)>& nameFor, std::string* name);

    const std::string& folder() const { return m_folder; }
    /// Bytes written so far.
    uint64_t size() const { return m_size; }

private:
    bool link(const std::string& path);

    int m_fd = -1;
    uint64_t m_size = 0;
    std::string m_folder;
    std::string m_hiddenPath; // empty for an unnamed file, and once named
};

/// Removes hidden partial pictures that an earlier run left in `folder` when it was stopped
/// mid-transfer: only regular files of our own naming, owned by this user and last written
/// before this process started. Returns how many were removed; each is logged.
int RemoveLeftoverTransferFiles(const std::string& folder);
/// RemoveLeftoverTransferFiles the first time this process meets `folder` (an existing folder,
/// known by its identity); later calls for it do nothing. Thread-safe.
void RemoveLeftoverTransferFilesOnce(const std::string& folder);

} // namespace zarv
