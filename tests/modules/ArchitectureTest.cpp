#include "modules/Architecture.h"
#include "../TestSupport.h"
#include "platform/Bundle.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace zarv {
namespace {

QString program(const QTemporaryDir& dir, const char* name, const QByteArray& content) {
    const QString path = dir.filePath(QString::fromLatin1(name));
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

// A complete ELF header for a machine no kernel runs (EM_NONE): execve refuses it with ENOEXEC,
// as a kernel without i386 support refuses an i386 program.
QByteArray elfForNoMachine() {
    QByteArray h(64, '\0');
    h.replace(0, 4,
              "\x7F"
              "ELF");
    h[4] = 1; // 32-bit
    h[5] = 1; // little endian
    h[6] = 1;
    h[16] = 2; // executable
    h[20] = 1;
    h[40] = 52; // header size
    return h;
}

TEST(I386Probe, AnswersFromExecutingTheProgramItself) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString enoexec = QString::fromLocal8Bit(std::strerror(ENOEXEC));

    const I386ProbeResult ok = runI386Probe(program(dir, "ok", "#!/bin/sh\nexit 0\n"));
    EXPECT_TRUE(ok.runs) << ok.reason.toStdString();

    const I386ProbeResult refused = runI386Probe(program(dir, "refused", elfForNoMachine()));
    EXPECT_FALSE(refused.runs);
    EXPECT_TRUE(refused.reason.contains(enoexec)) << refused.reason.toStdString();
    EXPECT_TRUE(refused.reason.contains(dir.filePath("refused"))) << refused.reason.toStdString();

    // A shell would run this as a script and succeed; the kernel does not run it.
    const I386ProbeResult script = runI386Probe(program(dir, "script", "exit 0\n"));
    EXPECT_FALSE(script.runs);
    EXPECT_TRUE(script.reason.contains(enoexec)) << script.reason.toStdString();

    const I386ProbeResult failed = runI386Probe(
        program(dir, "failed", "#!/bin/sh\necho 'libc.so.6: not found' >&2\nexit 127\n"));
    EXPECT_FALSE(failed.runs);
    EXPECT_TRUE(failed.reason.contains("status 127: libc.so.6: not found"))
        << failed.reason.toStdString();

    EXPECT_FALSE(runI386Probe(dir.filePath("absent")).runs);
    EXPECT_FALSE(runI386Probe(QString()).runs);

    QElapsedTimer clock;
    clock.start();
    const I386ProbeResult hung =
        runI386Probe(program(dir, "hung", "#!/bin/sh\nexec sleep 30\n"), 200);
    EXPECT_FALSE(hung.runs);
    EXPECT_TRUE(hung.reason.contains("did not finish")) << hung.reason.toStdString();
    EXPECT_LT(clock.elapsed(), 5000);
}

// Under tools/test this runs twice: with the bundle's probe, and with ZARV_I386_PROBE naming a
// file the kernel refuses.
TEST(I386Probe, ThirtyTwoBitPermissionIsTheProbesAnswerUnlessOverridden) {
    Bundle::setMainBundlePath(QStringLiteral(ZARV_APP_DIR));
    const test::ScopedEnvironment noOverride("ZARV_ALLOW_32BIT", std::nullopt);
#ifdef ZARV_I386_TOOLCHAIN
    if (!qEnvironmentVariableIsSet("ZARV_I386_PROBE")) {
        EXPECT_FALSE(i386ProbePath().isEmpty()) << "the bundle carries its i386 probe";
    }
#endif
    const I386ProbeResult fresh = runI386Probe(i386ProbePath());
    const I386ProbeResult& system = systemI386Probe();
    EXPECT_EQ(system.runs, fresh.runs) << fresh.reason.toStdString();
    EXPECT_EQ(system.reason.isEmpty(), system.runs);
    EXPECT_EQ(isThisAppAllowedToRunIn32BitMode(), fresh.runs);
    EXPECT_EQ(appKitVersionNumber(), fresh.runs ? 1349.0 : 1404.0);
    {
        const test::ScopedEnvironment no("ZARV_ALLOW_32BIT", QStringLiteral("0"));
        EXPECT_FALSE(isThisAppAllowedToRunIn32BitMode());
    }
    {
        const test::ScopedEnvironment yes("ZARV_ALLOW_32BIT", QStringLiteral("1"));
        EXPECT_TRUE(isThisAppAllowedToRunIn32BitMode());
    }
    Bundle::setMainBundlePath(QString());
}

} // namespace
} // namespace zarv
