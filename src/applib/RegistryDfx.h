#pragma once
// A registry object over the network's registry calls: a root key (a predefined key of the
// local computer, or the same key of another machine after ConnectRemote), a current key
// with its path, and an access mask. Reads report through the last-error store and a false
// result; nothing here raises. Main thread only.

#include "platform/Network.h"

#include <QString>
#include <QStringList>

namespace velmora {

// The registry messages, formatted with DfxFormat.
inline constexpr char kRegKeyCannotOpenFmt[] =
    "The registry key \"%s\\%s\" cannot be opened or does not exist.";
inline constexpr char kRegValueMissingFmt[] = "The Registry Value \"%s\\%s\" does not exist";
inline constexpr char kNoShellFolderVariableFmt[] =
    "The string \"%s\" does not contain a valid Shell Folder Variable";
inline constexpr char kRecordStillLinkedText[] =
    "Unable to delete this record, other tables link to this record";
inline constexpr char kReadStringExTypeFmt[] =
    "ReadStringEX Error: The data must be [rdString, rdExpandString] in \"%s\\%s\"";

// Whether a machine name stands for the local computer: empty, only backslashes, or two
// backslashes and the local computer's name (without regard to case).
bool IsLocalMachineName(platform::Network& network, const QString& machine);

class TDfxRegistry
{
  public:
    // Read-only uses pass platform::kKeyRead. The root key starts as the local
    // HKEY_LOCAL_MACHINE.
    explicit TDfxRegistry(platform::Network& network, uint32_t access = platform::kKeyRead);
    ~TDfxRegistry();
    TDfxRegistry(const TDfxRegistry&) = delete;
    TDfxRegistry& operator=(const TDfxRegistry&) = delete;

    // Choosing another root closes the current key (and a remote root this object owns).
    void SetRootKey(platform::RegKey root);
    platform::RegKey RootKey() const { return m_rootKey; }
    uint32_t Access() const { return m_access; }
    void SetAccess(uint32_t access) { m_access = access; }

    // For the local computer (IsLocalMachineName) nothing changes and the result is true.
    // Otherwise connects to the same predefined key on the machine (name as given) and
    // makes the answer the root key, which this object then owns. On failure the code is
    // stored as the last error (not logged) and the result is false.
    bool ConnectRemote(const QString& machine);
    // Closes the current key and a root key that came from ConnectRemote; the root goes
    // back to the predefined key.
    void CloseRootKey();

    // A key starting with "\" is taken from the root; any other from the current key when
    // one is open, else from the root. The current key and path change only on success.
    // Keys are only read over the network interface; none is ever created.
    bool OpenKey(const QString& key);
    bool OpenKeyReadOnly(const QString& key);
    // Opens and closes the key without changing the current one.
    bool KeyExists(const QString& key);
    void CloseKey();
    platform::RegKey CurrentKey() const { return m_currentKey; }
    // The current key's path from the root, without a leading backslash ("" at the root).
    const QString& CurrentPath() const { return m_currentPath; }

    bool ValueExists(const QString& name);
    // Reads a value that must be a string (REG_SZ or REG_EXPAND_SZ, the latter unexpanded),
    // cut at its first NUL. A missing value gives false and an empty text with nothing
    // stored; an empty one true and an empty text; another type false with the
    // kReadStringExTypeFmt text (code 0xE0020001, not logged).
    bool ReadStringEX(const QString& name, QString& text);
    // The names of the current key's values and sub-keys; empty when none is open.
    QStringList ValueNames();
    QStringList KeyNames();

  private:
    platform::RegKey BaseFor(const QString& key, QString& path) const;

    platform::Network& m_network;
    uint32_t m_access;
    platform::RegKey m_predefinedRoot = platform::kHKeyLocalMachine;
    platform::RegKey m_rootKey = platform::kHKeyLocalMachine;
    bool m_ownsRoot = false;
    platform::RegKey m_currentKey = 0;
    QString m_currentPath;
};

} // namespace velmora
