#include "applib/Log.h"

#include "applib/DfxFormat.h"
#include "applib/Exceptions.h"
#include "applib/LastError.h"
#include "platform/OsError.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

namespace velmora {

namespace {

constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kWaitTimeout = 258;

std::atomic<TDfxLog*> g_programLog{nullptr};

// The system code that a failed file call stands for, so that the reason reads as the rest
// of the program's system texts do; 0 when there is none.
uint32_t CodeForErrno(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return 3;
    case EMFILE:
    case ENFILE:
        return 4;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return 5;
    case EBADF:
        return 6;
    case ENOMEM:
        return 8;
    case EINVAL:
        return 87;
    case ENOSPC:
    case EDQUOT:
        return 112;
    case ESPIPE:
        return 132;
    case ENAMETOOLONG:
        return 206;
    case EFBIG:
        return 223;
    case EIO:
        return 1117;
    default:
        return 0;
    }
}

// The log cannot report its own failure into itself: the reason goes to the last-error
// store and the platform's last error without the logging decision, then into the message.
[[noreturn]] void RaiseLogFailure(const char* message, uint32_t code, const QString& reason)
{
    platform::SetOsLastError(code);
    StoreLastErrorText(reason);
    throw Exception(Fmt(message, reason));
}

[[noreturn]] void RaiseErrno(const char* message, int err)
{
    const uint32_t code = CodeForErrno(err);
    if (code != 0)
        RaiseLogFailure(message, code, SystemErrorText(code));
    RaiseLogFailure(message, kErrorGenFailure, qt_error_string(err));
}

constexpr char kCreateFileFailed[] = "LogDfx CreateFile, Error: %s";
constexpr char kCreateMutexFailed[] = "LogDfx CreateMutex, Error: %s";
constexpr char kWaitFailed[] = "LogDfx WaitForSingleObject, Error: %s";
constexpr char kSeekFailed[] = "LogDfx SetFilePointer, Error: %s";
constexpr char kWriteFailed[] = "LogDfx WriteFile, Error: %s";
constexpr char kReleaseFailed[] = "LogDfx ReleaseMutex, Error: %s";

[[noreturn]] void RaiseTimeout()
{
    RaiseLogFailure(kWaitFailed, kWaitTimeout, SystemErrorText(kWaitTimeout));
}

// Threads of this process take turns here, first come first served, before one of them
// competes for the file lock: a lock on a shared file description is no lock between
// threads, and a plain mutex lets a thread that writes line after line starve the others
// beyond the wait limit.
class WriterQueue
{
  public:
    static WriterQueue& Instance()
    {
        static WriterQueue queue;
        return queue;
    }

    bool Enter(const QDeadlineTimer& deadline)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const uint64_t ticket = m_nextTicket++;
        m_waiting.push_back(ticket);
        const auto until =
            std::chrono::steady_clock::now() +
            std::chrono::nanoseconds(std::max<qint64>(deadline.remainingTimeNSecs(), 0));
        const auto myTurn = [&] { return !m_busy && m_waiting.front() == ticket; };
        if (!m_condition.wait_until(lock, until, myTurn)) {
            m_waiting.erase(std::find(m_waiting.begin(), m_waiting.end(), ticket));
            m_condition.notify_all();
            return false;
        }
        m_waiting.pop_front();
        m_busy = true;
        return true;
    }

    void Leave()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_busy = false;
        }
        m_condition.notify_all();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_condition;
    std::deque<uint64_t> m_waiting;
    uint64_t m_nextTicket = 0;
    bool m_busy = false;
};

class WriterTurn
{
  public:
    explicit WriterTurn(const QDeadlineTimer& deadline)
    {
        if (!WriterQueue::Instance().Enter(deadline))
            RaiseTimeout();
    }
    ~WriterTurn() { WriterQueue::Instance().Leave(); }
    WriterTurn(const WriterTurn&) = delete;
    WriterTurn& operator=(const WriterTurn&) = delete;
};

void SleepMicroseconds(long microseconds)
{
    timespec pause{0, microseconds * 1000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// Waiting writers of other processes are marked by a read lock on the lock file's first
// byte (an open-file-description lock, so it goes away with the descriptor). A writer
// that finds such a mark queues behind the lock like the waiters instead of taking it the
// moment it is free; otherwise a process writing line after line would keep it.
bool OthersAreWaiting(int fd)
{
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 1;
    return ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

void MarkWaiting(int fd, bool waiting)
{
    struct flock mark = {};
    mark.l_type = waiting ? F_RDLCK : F_UNLCK;
    mark.l_whence = SEEK_SET;
    mark.l_start = 0;
    mark.l_len = 1;
    // Without the mark the wait still works, only less fairly.
    ::fcntl(fd, F_OFD_SETLK, &mark);
}

// Holds the file lock from a successful wait to Release() or to the end of the scope, so
// that a failed seek or write never leaves the other writers locked out.
class FileLock
{
  public:
    FileLock(int fd, const QDeadlineTimer& deadline) : m_fd(fd)
    {
        if (!OthersAreWaiting(m_fd) && TryLock()) {
            m_held = true;
            return;
        }
        MarkWaiting(m_fd, true);
        for (;;) {
            if (TryLock())
                break;
            const qint64 left = deadline.remainingTimeNSecs();
            if (left <= 0) {
                MarkWaiting(m_fd, false);
                RaiseTimeout();
            }
            SleepMicroseconds(
                std::min<long>(kPollMicroseconds, static_cast<long>(left / 1000) + 1));
        }
        MarkWaiting(m_fd, false);
        m_held = true;
    }
    ~FileLock()
    {
        if (m_held)
            ::flock(m_fd, LOCK_UN);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    void Release()
    {
        m_held = false;
        if (::flock(m_fd, LOCK_UN) != 0)
            RaiseErrno(kReleaseFailed, errno);
    }

  private:
    static constexpr long kPollMicroseconds = 250;

    bool TryLock()
    {
        for (;;) {
            if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0)
                return true;
            const int err = errno;
            if (err == EWOULDBLOCK)
                return false;
            if (err != EINTR) {
                MarkWaiting(m_fd, false);
                RaiseErrno(kWaitFailed, err);
            }
        }
    }

    int m_fd;
    bool m_held = false;
};

int OpenLockFile(const QByteArray& path)
{
    for (;;) {
        int fd = ::open(path.constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
        // Another user's lock file in a sticky temporary folder may refuse O_CREAT; the
        // existing file serves as well.
        if (fd < 0 && errno == EACCES)
            fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
}

} // namespace

QString LogLevelName(LogLevel level)
{
    switch (level) {
    case LogLevel::Error:
        return QStringLiteral("Error");
    case LogLevel::Info:
        return QStringLiteral("Info");
    case LogLevel::Trace:
        return QStringLiteral("Trace");
    case LogLevel::Alert:
        return QStringLiteral("Alert");
    }
    return {};
}

TDfxLog::TDfxLog() = default;

TDfxLog::~TDfxLog()
{
    Close();
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
}

void TDfxLog::SetFileName(const QString& fileName)
{
    if (fileName == m_fileName)
        return;
    Close();
    m_fileName = fileName;
}

void TDfxLog::Open()
{
    if (m_opened)
        return;
    if (m_fileName.isEmpty())
        throw Exception(QStringLiteral("No log file name specified."));
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
    // Created anew, as each run starts its own log; every line goes to the disk at once.
    int fileFd = -1;
    do {
        fileFd = ::open(QFile::encodeName(m_fileName).constData(),
                        O_RDWR | O_CREAT | O_TRUNC | O_DSYNC | O_CLOEXEC, 0644);
    } while (fileFd < 0 && errno == EINTR);
    if (fileFd < 0)
        RaiseErrno(kCreateFileFailed, errno);
    const int lockFd = OpenLockFile(QFile::encodeName(LockFilePath(m_fileName)));
    if (lockFd < 0) {
        const int err = errno;
        ::close(fileFd);
        RaiseErrno(kCreateMutexFailed, err);
    }
    m_fileFd = fileFd;
    m_lockFd = lockFd;
    m_opened = true;
}

void TDfxLog::Close()
{
    if (m_fileFd >= 0) {
        ::close(m_fileFd);
        m_fileFd = -1;
    }
    m_opened = false;
}

void TDfxLog::Write(const QByteArray& bytes)
{
    const QDeadlineTimer deadline(kLockWaitMs);
    const WriterTurn turn(deadline);

    if (!m_opened)
        Open();
    FileLock lock(m_lockFd, deadline);
    if (::lseek(m_fileFd, 0, SEEK_END) < 0)
        RaiseErrno(kSeekFailed, errno);
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(m_fileFd, bytes.constData() + written,
                                  static_cast<size_t>(bytes.size() - written));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            RaiseErrno(kWriteFailed, errno);
        }
        written += n;
    }
    lock.Release();
}

void TDfxLog::WriteText(const QString& text)
{
    Write(text.toUtf8());
}

void TDfxLog::WriteLine(const QString& text)
{
    WriteText(text + QStringLiteral("\r\n"));
}

QString TDfxLog::LockFilePath(const QString& logFileName)
{
    QString name = QDir::cleanPath(QFileInfo(logFileName).absoluteFilePath());
    name.replace(u'/', u'.');
    name = QStringLiteral("velmora-") + name.toLower() + QStringLiteral(".lock");
    // A deep path would exceed the length of one file name; its digest names it then.
    if (QFile::encodeName(name).size() > 255) {
        const QByteArray digest =
            QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha1).toHex();
        name = QStringLiteral("velmora-") + QString::fromLatin1(digest) + QStringLiteral(".lock");
    }
    // An unusable TMPDIR reads as an empty temporary path; the lock must not land in
    // whatever folder is current.
    QString folder = QDir::tempPath();
    if (folder.isEmpty())
        folder = QStringLiteral("/tmp");
    return QDir(folder).filePath(name);
}

void SetProgramLog(TDfxLog* log)
{
    g_programLog.store(log);
}

TDfxLog* ProgramLog()
{
    return g_programLog.load();
}

QString ProgramLogPathFor(const QString& executablePath)
{
    const qsizetype slash = executablePath.lastIndexOf(u'/');
    const qsizetype dot = executablePath.lastIndexOf(u'.');
    // A dot that starts the name (".hidden") or sits in a folder name is no extension.
    if (dot > slash + 1)
        return executablePath.left(dot) + QStringLiteral(".Log");
    return executablePath + QStringLiteral(".Log");
}

void LogLine(LogLevel level, const QString& tag, const QString& part1, const QString& part2,
             const QString& part3)
{
    TDfxLog* log = ProgramLog();
    if (log == nullptr)
        return;
    QString line = LogLevelName(level) + u',' + tag;
    for (const QString* part : {&part1, &part2, &part3}) {
        if (!part->isEmpty())
            line += u',' + *part;
    }
    log->WriteLine(line);
}

void LogError(const QString& message, const QString& part1, const QString& part2)
{
    LogLine(LogLevel::Error, message, part1, part2, {});
}

void LogErrorFmt(const QString& format, const QVariantList& args, const QString& part1,
                 const QString& part2)
{
    LogError(DfxFormat(format, args), part1, part2);
}

void LogApiError(const QString& part1, const QString& part2)
{
    LogLine(LogLevel::Error, QStringLiteral("API Error"), part1, part2,
            SystemErrorText(platform::GetOsLastError()));
}

void LogLastError(const QString& part1, const QString& part2)
{
    LogLine(LogLevel::Error, QStringLiteral("Error"), part1, part2, GetLastErrorText());
}

} // namespace velmora
