#include "platform/Network.h"
#include "platform/OsError.h"

// A backend that does not offer a call answers as a machine without that service.

namespace velmora::platform {

namespace {
bool Unsupported()
{
    SetOsLastError(kErrorNotSupported);
    return false;
}
} // namespace

std::shared_ptr<const Library> Network::LoadLibrary(const QString&)
{
    SetOsLastError(126); // the module could not be found
    return nullptr;
}

bool Network::LookupAccountName(const QString&, const QString&, QByteArray*, uint32_t&, QString&,
                                uint32_t&, uint32_t&)
{
    return Unsupported();
}

bool Network::FindFirstFile(const QString&, FindHandle&, FindData&) { return Unsupported(); }
bool Network::FindNextFile(FindHandle, FindData&) { return Unsupported(); }
bool Network::FindClose(FindHandle)
{
    SetOsLastError(kErrorInvalidHandle);
    return false;
}

bool Network::GetFileSecurity(const QString&, uint32_t, QByteArray*, uint32_t, uint32_t& needed)
{
    needed = 0;
    return Unsupported();
}

uint32_t Network::RegOpenKeyEx(RegKey, const QString&, uint32_t, RegKey&)
{
    Unsupported();
    return kErrorNotSupported;
}

uint32_t Network::RegQueryValueEx(RegKey, const QString&, uint32_t&, QByteArray*, uint32_t&)
{
    Unsupported();
    return kErrorNotSupported;
}

uint32_t Network::RegEnumValue(RegKey, uint32_t, QString&)
{
    Unsupported();
    return kErrorNotSupported;
}

uint32_t Network::RegEnumKeyEx(RegKey, uint32_t, QString&)
{
    Unsupported();
    return kErrorNotSupported;
}

uint32_t Network::QueryServiceStatus(const QString&, const QString&, uint32_t&)
{
    Unsupported();
    return kErrorNotSupported;
}

} // namespace velmora::platform
