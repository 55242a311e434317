#pragma once
// The program log: one line per event, "Error,<message>[,part...]" and CR LF, appended by
// every process that logs to the same path under an advisory lock on a lock file derived
// from that path (waited for at most 1000 ms).

#include <QByteArray>
#include <QString>
#include <QVariantList>

namespace velmora {

enum class LogLevel { Error = 0, Info = 1, Trace = 2, Alert = 3 };
QString LogLevelName(LogLevel level);

// Failures raise Exception with the texts "No log file name specified.",
// "LogDfx CreateFile, Error: %s", "LogDfx CreateMutex, Error: %s",
// "LogDfx WaitForSingleObject, Error: %s", "LogDfx SetFilePointer, Error: %s",
// "LogDfx WriteFile, Error: %s", "LogDfx ReleaseMutex, Error: %s". The lock is released
// also when a write fails.
class TDfxLog
{
public:
    TDfxLog();
    ~TDfxLog();
    TDfxLog(const TDfxLog&) = delete;
    TDfxLog& operator=(const TDfxLog&) = delete;

    QString FileName() const { return m_fileName; }
    // A different name (compared with case) closes the file; the next write opens it.
    void SetFileName(const QString& fileName);

    // Creates the file anew (emptying an older log) and opens the lock file.
    void Open();
    // Closes the file, keeps the lock file handle.
    void Close();
    bool Opened() const { return m_opened; }

    void Write(const QByteArray& bytes);
    void WriteText(const QString& text);
    void WriteLine(const QString& text);

    // The lock file that stands for the named mutex: the log path with every "/" replaced
    // by "." and lower-cased, in the system's temporary folder.
    static QString LockFilePath(const QString& logFileName);
    // How long Write waits for the lock, in milliseconds (1000).
    static constexpr int kLockWaitMs = 1000;

private:
    int m_lockFd = -1;
    int m_fileFd = -1;
    bool m_opened = false;
    QString m_fileName;
};

// The program-wide log. The program creates it at start and installs it here; the module
// operations below do nothing while none is installed.
void SetProgramLog(TDfxLog* log);
TDfxLog* ProgramLog();
// The program log's path for an executable: its path with the extension replaced by ".Log"
// (a name without extension gets ".Log" appended).
QString ProgramLogPathFor(const QString& executablePath);

void LogLine(LogLevel level, const QString& tag, const QString& part1 = {},
             const QString& part2 = {}, const QString& part3 = {});
void LogError(const QString& message, const QString& part1 = {}, const QString& part2 = {});
void LogErrorFmt(const QString& format, const QVariantList& args, const QString& part1 = {},
                 const QString& part2 = {});
// "API Error" with the platform's current last error text as third part.
void LogApiError(const QString& part1 = {}, const QString& part2 = {});
// "Error" with the last-error store's text as third part.
void LogLastError(const QString& part1 = {}, const QString& part2 = {});

// Trace calls are kept at the steps where the engine reports detail; they write nothing.
template <typename... Args> inline void LogTrace(const Args&...) {}
template <typename... Args> inline void LogTraceFmt(const Args&...) {}

} // namespace velmora
