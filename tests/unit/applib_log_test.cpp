// The program log: line format, run lifecycle of the file, the lock shared by all writers
// of one path (other descriptors, other processes, other threads) and the failure texts.

#include "applib/DfxFormat.h"
#include "applib/Exceptions.h"
#include "applib/LastError.h"
#include "applib/Log.h"
#include "platform/OsError.h"
#include "support/ChildTasks.h"

#include <QByteArrayList>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <ostream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Readable texts in failure messages.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace velmora {
namespace {

QByteArray ReadBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void WriteBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

// Installs a log as the program log for one test.
class ProgramLogScope
{
  public:
    explicit ProgramLogScope(const QString& path)
    {
        m_log.SetFileName(path);
        SetProgramLog(&m_log);
    }
    ~ProgramLogScope() { SetProgramLog(nullptr); }
    TDfxLog& Log() { return m_log; }

  private:
    TDfxLog m_log;
};

int OpenLockFileOf(const QString& logPath)
{
    return ::open(QFile::encodeName(TDfxLog::LockFilePath(logPath)).constData(),
                  O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
}

// Whether a writer could take the lock of a log path right now.
bool LockIsFree(const QString& logPath)
{
    const int fd = OpenLockFileOf(logPath);
    if (fd < 0)
        return false;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

QString ExpectedFailure(const char* format, uint32_t code)
{
    return Fmt(format, SystemErrorText(code));
}

// --- Child tasks --------------------------------------------------------------------------

// Takes the lock of a log path, says "locked" and keeps it until its input ends.
int HoldLockTask(const QStringList& args)
{
    const int fd = OpenLockFileOf(args.value(0));
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0)
        return 2;
    std::cout << "locked" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    ::close(fd);
    return 0;
}
VELMORA_CHILD_TASK(hold_lock, HoldLockTask);

QString Payload(int child, int line)
{
    // Lengths from 1 to 700 bytes, so that lines cross the sizes where writes split.
    const int length = 1 + (line * 37 + child * 101) % 700;
    return QString(length, QChar(u'a' + child));
}

// Opens the log (emptying it, as a run's first line would), says "ready", waits for "go"
// and then writes its lines through the program log.
int WriteLinesTask(const QStringList& args)
{
    const QString path = args.value(0);
    const int child = args.value(1).toInt();
    const int count = args.value(2).toInt();
    try {
        TDfxLog log;
        log.SetFileName(path);
        log.Open();
        SetProgramLog(&log);
        std::cout << "ready" << std::endl;
        std::string go;
        std::getline(std::cin, go);
        for (int i = 0; i < count; ++i)
            LogError(QStringLiteral("child%1").arg(child), QString::number(i), Payload(child, i));
        SetProgramLog(nullptr);
    } catch (const Exception& e) {
        std::cerr << "child " << child << ": " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
VELMORA_CHILD_TASK(write_lines, WriteLinesTask);

bool WaitForLine(QProcess& process, const QByteArray& expected)
{
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(60000))
            return false;
    }
    return process.readLine().trimmed() == expected;
}

// Checks that every line is one whole line of WriteLinesTask and that each child's lines
// are all there, in the order it wrote them.
void ExpectWholeLinesFromEachWriter(const QByteArray& content, int writers, int perWriter)
{
    ASSERT_TRUE(content.endsWith("\r\n"));
    QByteArrayList lines = content.split('\n');
    lines.removeLast();
    ASSERT_EQ(lines.size(), writers * perWriter);
    static const QRegularExpression pattern(
        QStringLiteral("^Error,child(\\d+),(\\d+),([a-z]+)\r$"));
    QHash<int, int> nextOf;
    for (const QByteArray& line : std::as_const(lines)) {
        const auto match = pattern.match(QString::fromUtf8(line));
        ASSERT_TRUE(match.hasMatch()) << line.left(200).constData();
        const int child = match.captured(1).toInt();
        const int number = match.captured(2).toInt();
        ASSERT_EQ(number, nextOf.value(child, 0)) << "child " << child;
        ASSERT_EQ(match.captured(3), Payload(child, number)) << "child " << child;
        nextOf[child] = number + 1;
    }
    ASSERT_EQ(nextOf.size(), writers);
    for (auto it = nextOf.cbegin(); it != nextOf.cend(); ++it)
        EXPECT_EQ(it.value(), perWriter) << "child " << it.key();
}

class LogTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        platform::SetOsLastError(0);
        ClearLastErrorForTesting();
    }
    void TearDown() override
    {
        SetProgramLog(nullptr);
        // Lock files outlive their writers by design; the tests' own are removed.
        for (const QString& path : std::as_const(m_paths))
            QFile::remove(TDfxLog::LockFilePath(path));
    }
    QString PathOf(const QString& name)
    {
        m_paths.append(m_dir.filePath(name));
        return m_paths.last();
    }

    QTemporaryDir m_dir;
    QStringList m_paths;
};

// --- Line format ---------------------------------------------------------------------------

TEST_F(LogTest, LinesJoinTheNonEmptyPartsWithCommas)
{
    struct Case
    {
        const char* name;
        std::function<void()> log;
        QByteArray expected;
    };
    const std::vector<Case> cases = {
        {"message only", [] { LogError(QStringLiteral("Unable to Ping \"srv1\" in 1500ms")); },
         "Error,Unable to Ping \"srv1\" in 1500ms\r\n"},
        {"empty first part left out with its comma",
         [] { LogError(QStringLiteral("X"), {}, QStringLiteral("Y")); }, "Error,X,Y\r\n"},
        {"both parts",
         [] { LogError(QStringLiteral("X"), QStringLiteral("A"), QStringLiteral("B")); },
         "Error,X,A,B\r\n"},
        {"empty message keeps the comma after the level", [] { LogError({}); }, "Error,\r\n"},
        {"formatted message",
         [] {
             LogErrorFmt(QStringLiteral("Unable to Ping \"%s\" in %dms"),
                         {QStringLiteral("srv1"), 1500});
         },
         "Error,Unable to Ping \"srv1\" in 1500ms\r\n"},
        {"level names",
         [] {
             LogLine(LogLevel::Info, QStringLiteral("T"), QStringLiteral("1"));
             LogLine(LogLevel::Trace, QStringLiteral("T"), {}, QStringLiteral("2"));
             LogLine(LogLevel::Alert, QStringLiteral("T"), {}, {}, QStringLiteral("3"));
         },
         "Info,T,1\r\nTrace,T,2\r\nAlert,T,3\r\n"},
        {"API error carries the platform's last error text",
         [] {
             platform::SetOsLastError(5);
             LogApiError(QStringLiteral("NetShareEnum"));
         },
         "Error,API Error,NetShareEnum," + SystemErrorText(5).toUtf8() + "\r\n"},
        {"last error carries the store's text",
         [] {
             SetLastErrorText(QStringLiteral("Invalid SID Structure"), false, kDfxErrorText);
             LogLastError({}, QStringLiteral("S-1-5"));
         },
         "Error,Error,S-1-5,Invalid SID Structure\r\n"},
        {"text is written as UTF-8",
         [] { LogError(QStringLiteral("Zugriff f\u00fcr J\u00f6rg"), QStringLiteral("\u00c5se")); },
         QStringLiteral("Error,Zugriff f\u00fcr J\u00f6rg,\u00c5se\r\n").toUtf8()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = PathOf(QString::fromLatin1(c.name) + QStringLiteral(".Log"));
        ProgramLogScope scope(path);
        c.log();
        EXPECT_EQ(ReadBytes(path), c.expected);
    }
}

TEST_F(LogTest, TraceCallsAndAMissingProgramLogWriteNothing)
{
    const QString path = PathOf(QStringLiteral("trace.Log"));
    {
        ProgramLogScope scope(path);
        LogTrace(QStringLiteral("Users: %d"), 12);
        LogTraceFmt(QStringLiteral("Level %d of %s"), QVariantList{2, QStringLiteral("D")});
    }
    LogError(QStringLiteral("nobody listens"));
    EXPECT_FALSE(QFile::exists(path));
}

// --- Run lifecycle --------------------------------------------------------------------------

TEST_F(LogTest, FirstLineOfARunReplacesTheOldLogAndASilentRunLeavesIt)
{
    const QString path = PathOf(QStringLiteral("audit.Log"));
    WriteBytes(path, "Error,from an earlier run\r\n");
    {
        ProgramLogScope silentRun(path);
    }
    EXPECT_EQ(ReadBytes(path), QByteArray("Error,from an earlier run\r\n"));

    ProgramLogScope run(path);
    LogError(QStringLiteral("first"));
    EXPECT_EQ(ReadBytes(path), QByteArray("Error,first\r\n"));
    LogError(QStringLiteral("second"));
    EXPECT_EQ(ReadBytes(path), QByteArray("Error,first\r\nError,second\r\n"));
}

TEST_F(LogTest, RenamingSwitchesFilesButTheSameNameKeepsTheOpenFile)
{
    const QString first = PathOf(QStringLiteral("first.Log"));
    const QString second = PathOf(QStringLiteral("second.Log"));
    TDfxLog log;
    log.SetFileName(first);
    log.WriteLine(QStringLiteral("one"));
    log.SetFileName(first);
    EXPECT_TRUE(log.Opened());
    log.WriteLine(QStringLiteral("two"));

    log.SetFileName(second);
    EXPECT_FALSE(log.Opened());
    log.WriteLine(QStringLiteral("three"));
    EXPECT_EQ(ReadBytes(first), QByteArray("one\r\ntwo\r\n"));
    EXPECT_EQ(ReadBytes(second), QByteArray("three\r\n"));
}

TEST_F(LogTest, ProgramLogIsNamedAfterTheExecutable)
{
    const struct
    {
        QString executable;
        QString log;
    } cases[] = {
        {QStringLiteral("/opt/tools/audit.exe"), QStringLiteral("/opt/tools/audit.Log")},
        {QStringLiteral("/opt/app/velmora-cli"), QStringLiteral("/opt/app/velmora-cli.Log")},
        {QStringLiteral("/opt/app.d/velmora"), QStringLiteral("/opt/app.d/velmora.Log")},
        {QStringLiteral("/opt/app/a.b.c"), QStringLiteral("/opt/app/a.b.Log")},
        {QStringLiteral("/opt/app/.hidden"), QStringLiteral("/opt/app/.hidden.Log")},
        {QStringLiteral("velmora.bin"), QStringLiteral("velmora.Log")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProgramLogPathFor(c.executable), c.log) << qPrintable(c.executable);
}

TEST_F(LogTest, LockFileIsDerivedFromTheWholePathWithoutRegardToCase)
{
    const QString temp = QDir::tempPath();
    EXPECT_EQ(TDfxLog::LockFilePath(QStringLiteral("/opt/app/velmora-cli.Log")),
              temp + QStringLiteral("/velmora-.opt.app.velmora-cli.log.lock"));
    EXPECT_EQ(TDfxLog::LockFilePath(QStringLiteral("/OPT/App/Velmora-CLI.LOG")),
              TDfxLog::LockFilePath(QStringLiteral("/opt/app/velmora-cli.log")));
    EXPECT_NE(TDfxLog::LockFilePath(QStringLiteral("/opt/app/a.Log")),
              TDfxLog::LockFilePath(QStringLiteral("/opt/app2/a.Log")));
    EXPECT_EQ(TDfxLog::LockFilePath(QStringLiteral("relative.Log")),
              TDfxLog::LockFilePath(QDir::current().filePath(QStringLiteral("relative.Log"))));

    // A path deeper than one file name may be still gets a lock file that can exist.
    const QString deep = QStringLiteral("/deep") + QString(300, u'x') + QStringLiteral("/a.Log");
    const QString lock = TDfxLog::LockFilePath(deep);
    EXPECT_TRUE(lock.startsWith(temp + u'/'));
    EXPECT_LE(QFile::encodeName(QFileInfo(lock).fileName()).size(), 255);
    EXPECT_NE(lock, TDfxLog::LockFilePath(deep + QStringLiteral("2")));
}

// --- Failures --------------------------------------------------------------------------------

TEST_F(LogTest, FailedOpenRaisesTheStepAndTheNextWriteTriesAgain)
{
    const QString inMissingFolder = PathOf(QStringLiteral("later/audit.Log"));
    const QString folder = QFileInfo(inMissingFolder).path();
    const QString directory = PathOf(QStringLiteral("a-folder"));
    ASSERT_TRUE(QDir().mkpath(directory));
    const struct
    {
        const char* name;
        QString path;
        QString message;
        uint32_t code;
    } cases[] = {
        {"no name", QString(), QStringLiteral("No log file name specified."), 0},
        {"missing folder", inMissingFolder, ExpectedFailure("LogDfx CreateFile, Error: %s", 3), 3},
        {"a folder", directory, ExpectedFailure("LogDfx CreateFile, Error: %s", 5), 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TDfxLog log;
        log.SetFileName(c.path);
        try {
            log.WriteLine(QStringLiteral("lost"));
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
        EXPECT_FALSE(log.Opened());
        if (c.code != 0) {
            EXPECT_EQ(GetLastErrorText(), SystemErrorText(c.code));
            EXPECT_EQ(platform::GetOsLastError(), c.code);
        }
    }

    TDfxLog log;
    log.SetFileName(inMissingFolder);
    EXPECT_THROW(log.Open(), Exception);
    ASSERT_TRUE(QDir().mkpath(folder));
    log.WriteLine(QStringLiteral("now"));
    EXPECT_EQ(ReadBytes(inMissingFolder), QByteArray("now\r\n"));
}

TEST_F(LogTest, LockFileThatCannotBeOpenedFailsTheOpenAndLeavesTheLogClosed)
{
    const QString path = PathOf(QStringLiteral("audit.Log"));
    const QString lockPath = TDfxLog::LockFilePath(path);
    ASSERT_TRUE(QDir().mkdir(lockPath));
    TDfxLog log;
    log.SetFileName(path);
    try {
        log.Open();
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), ExpectedFailure("LogDfx CreateMutex, Error: %s", 5));
    }
    EXPECT_FALSE(log.Opened());

    ASSERT_TRUE(QDir().rmdir(lockPath));
    log.WriteLine(QStringLiteral("after"));
    EXPECT_EQ(ReadBytes(path), QByteArray("after\r\n"));
}

// Holders of a log's lock other than the writer under test.
struct LockHolder
{
    const char* name;
    std::function<std::shared_ptr<void>(const QString& logPath)> hold;
};

const std::vector<LockHolder>& LockHolders()
{
    static const std::vector<LockHolder> holders = {
        {"another descriptor in this process",
         [](const QString& logPath) -> std::shared_ptr<void> {
             const int fd = OpenLockFileOf(logPath);
             if (fd < 0 || ::flock(fd, LOCK_EX) != 0)
                 return nullptr;
             return std::shared_ptr<int>(new int(fd), [](int* held) {
                 ::close(*held);
                 delete held;
             });
         }},
        {"another process",
         [](const QString& logPath) -> std::shared_ptr<void> {
             auto process = std::shared_ptr<QProcess>(
                 test::StartChild(QStringLiteral("hold_lock"), {logPath}), [](QProcess* p) {
                     p->closeWriteChannel();
                     p->waitForFinished(60000);
                     delete p;
                 });
             if (!WaitForLine(*process, "locked"))
                 return nullptr;
             return process;
         }},
    };
    return holders;
}

TEST_F(LogTest, LockHeldLongerThanTheWaitRaisesAndWritesNothing)
{
    for (const LockHolder& holder : LockHolders()) {
        SCOPED_TRACE(holder.name);
        const QString path = PathOf(QString::fromLatin1(holder.name) + QStringLiteral(".Log"));
        TDfxLog log;
        log.SetFileName(path);
        log.WriteLine(QStringLiteral("before"));
        {
            const auto held = holder.hold(path);
            ASSERT_TRUE(held);
            try {
                log.WriteLine(QStringLiteral("while held"));
                ADD_FAILURE() << "no exception";
            } catch (const Exception& e) {
                EXPECT_EQ(e.Message(),
                          ExpectedFailure("LogDfx WaitForSingleObject, Error: %s", 258));
            }
            EXPECT_EQ(GetLastErrorText(), SystemErrorText(258));
            EXPECT_TRUE(log.Opened());
            EXPECT_EQ(ReadBytes(path), QByteArray("before\r\n"));
        }
        log.WriteLine(QStringLiteral("after"));
        EXPECT_EQ(ReadBytes(path), QByteArray("before\r\nafter\r\n"));
    }
}

TEST_F(LogTest, FailedSeekOrWriteReleasesTheLock)
{
    if (!QFileInfo::exists(QStringLiteral("/dev/full")))
        GTEST_SKIP() << "no /dev/full";
    const QString fifo = PathOf(QStringLiteral("fifo.Log"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString full = PathOf(QStringLiteral("full.Log"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/full"), full));
    const struct
    {
        const char* name;
        QString path;
        QString message;
    } cases[] = {
        {"a pipe cannot seek", fifo, ExpectedFailure("LogDfx SetFilePointer, Error: %s", 132)},
        {"a full device cannot write", full, ExpectedFailure("LogDfx WriteFile, Error: %s", 112)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TDfxLog first;
        TDfxLog second;
        first.SetFileName(c.path);
        second.SetFileName(c.path);
        for (TDfxLog* log : {&first, &second}) {
            try {
                log->WriteLine(QStringLiteral("line"));
                ADD_FAILURE() << "no exception";
            } catch (const Exception& e) {
                // The second writer reaching the same step shows that the first let go.
                EXPECT_EQ(e.Message(), c.message);
            }
            EXPECT_TRUE(log->Opened());
            EXPECT_TRUE(LockIsFree(c.path));
        }
    }
}

// --- Several writers -----------------------------------------------------------------------

TEST_F(LogTest, WritersInSeveralProcessesWriteWholeLines)
{
    constexpr int kWriters = 4;
    constexpr int kLines = 500;
    const QString path = PathOf(QStringLiteral("shared.Log"));
    std::vector<std::unique_ptr<QProcess>> children;
    for (int i = 0; i < kWriters; ++i) {
        children.emplace_back(test::StartChild(
            QStringLiteral("write_lines"), {path, QString::number(i), QString::number(kLines)}));
    }
    // Each child empties the file when it opens it, so all open before any writes.
    for (auto& child : children)
        ASSERT_TRUE(WaitForLine(*child, "ready"));
    // Sent to all before waiting for any, so that the writers run at the same time.
    for (auto& child : children) {
        child->write("go\n");
        ASSERT_TRUE(child->waitForBytesWritten(60000));
    }
    for (auto& child : children) {
        ASSERT_TRUE(child->waitForFinished(300000));
        EXPECT_EQ(child->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(child->exitCode(), 0);
    }
    ExpectWholeLinesFromEachWriter(ReadBytes(path), kWriters, kLines);
}

TEST_F(LogTest, ThreadsSharingTheProgramLogWriteWholeLines)
{
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    const QString path = PathOf(QStringLiteral("threads.Log"));
    ProgramLogScope scope(path);
    std::vector<std::thread> threads;
    std::vector<QString> failures(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            try {
                for (int i = 0; i < kLines; ++i)
                    LogError(QStringLiteral("child%1").arg(t), QString::number(i), Payload(t, i));
            } catch (const Exception& e) {
                failures[t] = e.Message();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (const QString& failure : failures)
        EXPECT_TRUE(failure.isEmpty()) << qPrintable(failure);
    ExpectWholeLinesFromEachWriter(ReadBytes(path), kThreads, kLines);
}

} // namespace
} // namespace velmora
