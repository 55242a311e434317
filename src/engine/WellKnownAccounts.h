#pragma once
// The accounts every audit knows, written to UserGroupList (domain BUILTIN, groups) before
// the first domain's users, in this order.

namespace velmora::engine {

struct WellKnownAccount
{
    const char* sid;
    const char* name;
};

inline constexpr WellKnownAccount kWellKnownAccounts[] = {
    {"S-1-1-0", "Everyone"},
    {"S-1-5-32-544", "Administrators"},
    {"S-1-5-32-550", "Print Operators"},
    {"S-1-5-32-546", "Guests"},
    {"S-1-5-32-548", "Account Operators"},
    {"S-1-5-32-552", "Replicator"},
    {"S-1-5-32-549", "Server Operators"},
    {"S-1-5-32-551", "Backup Operators"},
    {"S-1-5-18", "LocalSystem"},
    {"S-1-5-19", "LocalService"},
    {"S-1-5-20", "NetworkService"},
};

} // namespace velmora::engine
