// What the thread-sanitizer run hides: only reports of which both accesses were made inside Qt
// (whose own synchronisation the sanitizer cannot see), never a race of ours, also where Qt's
// frames are on its stacks. Each probe runs in a child process (this program again, with
// CORVENA_TSAN_PROBE set) under the suppressions and the preloaded filter of the run.
#include <QByteArray>
#include <QCoreApplication>
#include <QObject>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

namespace {

constexpr const char* ProbeVariable = "CORVENA_TSAN_PROBE";
constexpr std::size_t BufferSize = 64;

// Who fills the buffer and who copies it.
enum class TCopy {
    QtCopiesOurs,   // we fill a buffer of ours; QByteArray(Buffer, n) copies it (Qt's memcpy)
    WeCopyOurs,     // we fill it and we copy it, then make a QByteArray of the copy
    QtCopiesQts,    // Qt fills a QByteArray (its memset); Qt copies it: Qt's memory only
};

struct TProbeCase {
    const char* Name;
    TCopy Copy;
    bool Ordered;  // the copier is told with release and acquire, else through a relaxed flag
    bool Filtered; // the preloaded filter of the run stays in place
    bool Reported;
};

// One thread fills a buffer, another one copies it once told the buffer is ready. Told through
// a relaxed flag, nothing orders the two for the sanitizer: a race. The copy runs inside a call
// made through QMetaObject::invokeMethod, so Qt's frames are on the copying stack.
int RunProbe(const TProbeCase& ACase) {
    char Ours[BufferSize] = {};
    // Made before the copier starts; filled later by Qt alone.
    QByteArray Qts(BufferSize, 'p');
    std::atomic<bool> Ready{false};
    QByteArray Copy;
    // A plain thread: its start and its join order the rest for the sanitizer.
    std::thread Reader([&] {
        QObject Context;
        QMetaObject::invokeMethod(
            &Context,
            [&] {
                while (!Ready.load(ACase.Ordered ? std::memory_order_acquire : std::memory_order_relaxed))
                    QThread::yieldCurrentThread();
                if (ACase.Copy == TCopy::QtCopiesOurs) {
                    Copy = QByteArray(Ours, BufferSize);
                } else if (ACase.Copy == TCopy::WeCopyOurs) {
                    char Local[BufferSize];
                    for (std::size_t I = 0; I < BufferSize; ++I)
                        Local[I] = Ours[I];
                    Copy = QByteArray(Local, BufferSize);
                } else {
                    Copy = QByteArray(Qts.constData(), BufferSize);
                }
            },
            Qt::DirectConnection);
    });
    if (ACase.Copy == TCopy::QtCopiesQts) {
        Qts.fill('q');
    } else {
        // Byte by byte: the compiler expands a memset of a known size inline, and the sanitizer
        // does not see such accesses.
        for (std::size_t I = 0; I < BufferSize; ++I)
            Ours[I] = static_cast<char>('a' + I % 26);
    }
    Ready.store(true, ACase.Ordered ? std::memory_order_release : std::memory_order_relaxed);
    Reader.join();
    return Copy.size() == static_cast<qsizetype>(BufferSize) ? 0 : 3;
}

const TProbeCase Cases[] = {
    {"qt_copies_our_buffer", TCopy::QtCopiesOurs, false, true, true},
    {"we_copy_our_buffer", TCopy::WeCopyOurs, false, true, true},
    {"qt_copies_our_buffer_ordered", TCopy::QtCopiesOurs, true, true, false},
    {"we_copy_our_buffer_ordered", TCopy::WeCopyOurs, true, true, false},
    {"qt_copies_its_own_buffer", TCopy::QtCopiesQts, false, true, false},
    // The same without the filter: the probe above does race, inside Qt.
    {"qt_copies_its_own_buffer_unfiltered", TCopy::QtCopiesQts, false, false, true},
};

bool UnderThreadSanitizer() {
#if defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    return true;
#endif
#endif
    return false;
}

class TsanSuppressions : public ::testing::TestWithParam<TProbeCase> {};

TEST_P(TsanSuppressions, ProbeReportsOnlyOurRaces) {
    if (!UnderThreadSanitizer())
        GTEST_SKIP() << "not built with the thread sanitizer";
    const TProbeCase& Case = GetParam();
    QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
    // The run's own suppressions and filter: the tsan test preset sets both.
    const QString Options = Environment.value("TSAN_OPTIONS");
    ASSERT_TRUE(Options.contains("suppressions=")) << "run under the tsan test preset";
    ASSERT_TRUE(Environment.value("LD_PRELOAD").contains("tsan_qt_filter")) << "run under the tsan test preset";
    Environment.insert(ProbeVariable, Case.Name);
    Environment.insert("TSAN_OPTIONS", Options + " halt_on_error=0 exitcode=66 log_path=stderr");
    if (!Case.Filtered)
        Environment.remove("LD_PRELOAD");
    QProcess Child;
    Child.setProcessEnvironment(Environment);
    Child.start(QCoreApplication::applicationFilePath(), {});
    ASSERT_TRUE(Child.waitForFinished(60000));
    const QString Errors = QString::fromLocal8Bit(Child.readAllStandardError());
    EXPECT_EQ(Errors.contains("ThreadSanitizer: data race"), Case.Reported) << Errors.toStdString();
    EXPECT_EQ(Child.exitCode(), Case.Reported ? 66 : 0) << Errors.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Probes, TsanSuppressions, ::testing::ValuesIn(Cases),
                         [](const ::testing::TestParamInfo<TProbeCase>& AInfo) { return std::string(AInfo.param.Name); });

} // namespace

int main(int argc, char** argv) {
    QCoreApplication App(argc, argv);
    if (const QByteArray Probe = qgetenv(ProbeVariable); !Probe.isEmpty()) {
        for (const TProbeCase& Case : Cases)
            if (Probe == Case.Name)
                return RunProbe(Case);
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
