#pragma once
// The process-wide last-error store: library operations return false and leave the reason
// here. Any thread may store or read; the text is copied in and out under a lock that is
// never held while formatting or logging.

#include <QString>
#include <QStringList>
#include <QVariantList>
#include <cstdint>

namespace velmora {

// The library's own codes. kDfxErrorText marks a reason text that the caller supplies.
constexpr uint32_t kDfxErrorText = 0xE0020001u;
constexpr uint32_t kDfxNoInteractiveWindowStation = 0xE0020002u;
constexpr uint32_t kDfxNoShellInRegistry = 0xE0020003u;
constexpr uint32_t kDfxShellNotRunning = 0xE0020004u;
constexpr uint32_t kDfxInvalidFilename = 0xE0020005u;
constexpr uint32_t kDfxRegistryKeyUnreadable = 0xE0020006u;
constexpr uint32_t kDfxRegistryValueMissing = 0xE0020007u;
constexpr uint32_t kDfxNoVersionResource = 0xE0020008u;
constexpr uint32_t kDfxMacAddressNotFound = 0xE0020009u;
constexpr uint32_t kDfxRemoteConnectFailed = 0xE002000Au;
constexpr uint32_t kDfxRemoteNotNt = 0xE002000Bu;
constexpr uint32_t kDfxServiceInstallFailed = 0xE002000Cu;
constexpr uint32_t kDfxExpandVariableFailed = 0xE002000Du;
constexpr uint32_t kDfxMissingToken = 0xE002000Eu;
constexpr uint32_t kDfxServiceDeleteFailed = 0xE002000Fu;

// Text of a code: the own-code table for 0xE0020002..0xE002000F, else SystemErrorText.
QString ErrorCodeText(uint32_t code);

// Our own texts for the system (Win32) error codes that the program meets, with trailing
// blanks, line breaks and full stops removed. Unknown codes read "Unknown error %d".
QString SystemErrorText(uint32_t code);

// The command line that decides the force-log switch ("-FORCELOG" or "/forcelog", any
// case). Set once at program start; the switch is read at the first store that needs it.
// A program that never calls this (a library, a test) never forces logging.
void SetForceLogCommandLine(const QStringList& arguments);
bool ForceLogEnabled();
// Tests only: forget the computed switch so that the next store reads it again.
void ResetForceLogForTesting();

void SetLastErrorCode(uint32_t code, bool log);
// Uses the platform layer's current last error of the calling thread (platform/OsError.h).
void SetLastErrorFromOS(bool log);
void SetLastErrorText(const QString& text, bool log, uint32_t code);
void SetLastErrorFmt(const QString& format, const QVariantList& args, bool log, uint32_t code);
QString GetLastErrorText();
// Stores a text (cut to 255 characters) without the logging decision: for the log writer's
// own failures, which cannot be written to the log that failed.
void StoreLastErrorText(const QString& text);
// Tests only: empty the store.
void ClearLastErrorForTesting();

} // namespace velmora
