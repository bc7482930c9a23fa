// A scratch Nikon D750 for libgphoto2's emulated USB camera (tests/ptpcamera/emulated: the
// vusb port driver with our patch): a temporary folder holding the card (VCAMERADIR, pictures
// in DCIM/100NIKON), a HOME for libgphoto2's settings, the control file the body acts on and
// the log of what the host did to it. The folder goes when the object does.
//
// In this process:
//     EmulatedCamera cam;                       // after EmulatedCamera::available(&why)
//     cam.addPicture("DSC_0001.JPG", EmulatedCamera::jpeg(4096, 1));
//     cam.applyToProcess();                     // IOLIBS, VCAMERA*, HOME; undone at the end
//     ... gp_camera_init on cam.port() ...
//     cam.command("shoot sdram");
//     EXPECT_EQ(cam.logCount("getobject"), 1);
// For a child process: cam.environment() (or addTo(QProcessEnvironment&), envp()).
//
// The body is one per process and is built at libgphoto2's first look at it: give the card's
// pictures before that. Its state (card, SDRAM, settings, events) then lasts until another
// scratch camera is applied, across gp_camera_exit and gp_camera_init as a body's does.

#pragma once

#include <gphoto2/gphoto2-setting.h>

#include <QProcessEnvironment>
#include <QString>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace zarv::ptp::test {

class EmulatedCamera {
public:
    // The bus position of tests/data/nikon-d750.umockdev (BUSNUM 001, DEVNUM 009).
    static constexpr const char* kPort = "usb:001,009";
    static constexpr const char* kModel = "Nikon DSC D750";
    static constexpr const char* kUsbId = "04b0:0437";
    static constexpr const char* kSerial = "3000123";
    static constexpr const char* kCardFolder = "/store_00010001/DCIM/100NIKON";

    enum class Target { Sdram, Card };

    /// Whether the emulated camera was built; if not, why (the tests skip with it).
    static bool available(std::string* reason) {
#if defined(ZARV_VCAMERA_UNAVAILABLE)
        if (reason)
            *reason = std::string("no emulated camera: ") + ZARV_VCAMERA_UNAVAILABLE;
        return false;
#elif !defined(ZARV_VCAMERA_IOLIBS)
        if (reason)
            *reason = "no emulated camera: the test is not linked to zarv_emulated_camera";
        return false;
#else
        struct stat st {};
        if (::stat(ZARV_VCAMERA_IOLIBS "/vusb.so", &st) != 0) {
            if (reason)
                *reason = "no emulated camera: " ZARV_VCAMERA_IOLIBS "/vusb.so is missing";
            return false;
        }
        return true;
#endif
    }

    /// Synthetic JPEG bytes: FF D8 FF E0, `size` bytes in all, FF D9 last; `seed` varies them.
    static std::string jpeg(size_t size, unsigned seed = 1) {
        std::string b(size < 6 ? 6 : size, '\0');
        uint32_t x = seed * 2654435761u + 1;
        for (char& c : b) {
            x = x * 1664525u + 1013904223u;
            c = char(x >> 24);
        }
        const unsigned char head[] = {0xff, 0xd8, 0xff, 0xe0};
        std::memcpy(b.data(), head, sizeof head);
        b[b.size() - 2] = char(0xff);
        b[b.size() - 1] = char(0xd9);
        return b;
    }

    explicit EmulatedCamera(std::string port = kPort, std::string serial = kSerial)
        : m_port(std::move(port)), m_serial(std::move(serial)) {
        std::string base = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
        std::string pattern = base + "/zarv-vcamera-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a folder in " + base);
        m_root = pattern;
        std::filesystem::create_directories(dir());
        std::filesystem::create_directories(home());
    }
    ~EmulatedCamera() {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }
    EmulatedCamera(const EmulatedCamera&) = delete;
    EmulatedCamera& operator=(const EmulatedCamera&) = delete;

    const std::string& port() const {
        return m_port;
    }
    const std::string& serial() const {
        return m_serial;
    }
    std::string dir() const {
        return m_root + "/vcamera";
    } // VCAMERADIR
    std::string home() const {
        return m_root + "/home";
    }
    std::string controlPath() const {
        return m_root + "/control";
    }
    std::string logPath() const {
        return m_root + "/log";
    }

    /// A picture on the card, DCIM/100NIKON/`name` (before libgphoto2 first looks).
    std::string addPicture(const std::string& name, const std::string& bytes) {
        return addFile("DCIM/100NIKON/" + name, bytes);
    }
    /// A file below VCAMERADIR but off the card, for `shoot ... FILE`; returns the name to give.
    std::string addSource(const std::string& name, const std::string& bytes) {
        return addFile("sources/" + name, bytes);
    }

    /// What libgphoto2 and the emulated body read, for this process or a child.
    std::vector<std::pair<std::string, std::string>> environment() const {
        std::vector<std::pair<std::string, std::string>> env = {
            {"VCAMERADIR", dir()},
            {"VCAMERA_PORT", m_port},
            {"VCAMERA_USBID", kUsbId},
            {"VCAMERA_SERIAL", m_serial},
            {"VCAMERA_CONTROL", controlPath()},
            {"VCAMERA_LOG", logPath()},
            {"HOME", home()},
        };
#if defined(ZARV_VCAMERA_IOLIBS)
        env.emplace_back("IOLIBS", ZARV_VCAMERA_IOLIBS); // where libgphoto2 finds port drivers
#endif
        return env;
    }
    void addTo(QProcessEnvironment& env) const {
        for (const auto& [name, value] : environment())
            env.insert(QString::fromStdString(name), QString::fromStdString(value));
    }
    /// This process's environment with the camera's in it, as execve takes it.
    std::vector<std::string> envp() const {
        const auto ours = environment();
        std::vector<std::string> out;
        for (char** e = environ; e && *e; ++e) {
            const std::string_view entry(*e);
            const std::string_view name = entry.substr(0, entry.find('='));
            bool replaced = false;
            for (const auto& kv : ours)
                replaced = replaced || kv.first == name;
            if (!replaced)
                out.emplace_back(entry);
        }
        for (const auto& [name, value] : ours)
            out.push_back(name + "=" + value);
        return out;
    }

    /// Puts the environment into this process (undone when the object goes) and gives
    /// libgphoto2's settings, which it keeps in memory once read, this camera's capture target.
    void applyToProcess() {
        for (const auto& [name, value] : environment()) {
            const char* old = std::getenv(name.c_str());
            m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            ::setenv(name.c_str(), value.c_str(), 1);
        }
        m_applied = true;
        setCaptureTarget(m_target);
    }

    /// Where libgphoto2 captures to ("capturetarget" of its settings: sdram or card), in this
    /// process if applied and in $HOME/.gphoto/settings for a child.
    void setCaptureTarget(Target target) {
        m_target = target;
        const char* value = target == Target::Card ? "card" : "sdram";
        if (m_applied) {
            char id[] = "ptp2", key[] = "capturetarget";
            std::string v = value;
            gp_setting_set(id, key, v.data()); // and saves it in $HOME/.gphoto/settings
        } else {
            std::filesystem::create_directories(home() + "/.gphoto");
            std::ofstream(home() + "/.gphoto/settings", std::ios::trunc)
                << "ptp2=capturetarget=" << value << "\n";
        }
    }

    /// Appends a line to the control file; the body acts on it at its next operation.
    void command(const std::string& line) const {
        const std::string text = line + "\n";
        const int fd =
            ::open(controlPath().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            throw std::runtime_error("cannot open " + controlPath());
        const ssize_t n = ::write(fd, text.data(), text.size()); // whole, as one line
        ::close(fd);
        if (n != ssize_t(text.size()))
            throw std::runtime_error("cannot write " + controlPath());
    }

    /// The body's log, one act a line ("opensession", "capture sdram", "getpartialobject
    /// 0x0000000a 0 1048576", ...).
    std::vector<std::string> log() const {
        std::vector<std::string> lines;
        std::ifstream in(logPath());
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        return lines;
    }
    /// Lines that are `word` or begin with `word` and a space ("busy" counts "busy 0x90c8").
    int logCount(std::string_view word) const {
        int n = 0;
        for (const std::string& l : log())
            n += (l == word || (l.size() > word.size() && l.compare(0, word.size(), word) == 0 &&
                                l[word.size()] == ' '))
                     ? 1
                     : 0;
        return n;
    }
    /// Waits until the log holds at least `count` such lines (a child process acting).
    bool waitForLog(std::string_view word, int count, int timeoutMs) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (logCount(word) < count) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

private:
    std::string addFile(const std::string& relative, const std::string& bytes) {
        const std::string path = dir() + "/" + relative;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        return relative;
    }

    std::string m_port, m_serial, m_root;
    Target m_target = Target::Sdram; // libgphoto2's own default
    bool m_applied = false;
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

} // namespace zarv::ptp::test
