#pragma once
// Large lab networks made from a seed and a few sizes instead of being stored. The same
// options give the same bytes on every machine and library version: the generator draws
// from its own pseudo-random sequence (splitmix64) and formats every number itself.
//
// The network looks like a company grown over years: each domain has a primary controller
// with the usual built-in accounts, users in Domain Users and a few departmental groups
// (some nested, a few administrators), member file servers with administrative, IPC and
// departmental shares, and folder trees where most folders inherit their parent's entries,
// some add an entry of their own, and some break inheritance; Everyone and Domain Users
// are common, deny entries are rare, and some entries name accounts that no longer exist.
// A few servers do not answer ping, a few refuse the interactive user but accept an
// alternate credential, and a few workstations are there for classification to drop.
//
// The output is written as it is produced (no document is built in memory), so networks of
// hundreds of thousands of folders take seconds and little memory. It is a valid lab file
// (LabFile.h).

#include <QString>
#include <cstdint>

class QIODevice;

namespace velmora::platform::lab {

struct LabGeneratorOptions
{
    uint64_t seed = 1;
    int domains = 2; // each with a primary controller
    int servers = 6; // member file servers, spread over the domains
    int users = 40;  // per domain, besides the built-in accounts
    int groups = 8;  // per domain, besides the built-in groups
    int shares = 3;  // departmental shares per file server
    int depth = 3;   // folder levels below a share's root
    int fanout = 3;  // subfolders per folder
    int entries = 3; // entries of a DACL that does not inherit
};

// Checks the sizes; false with `error` naming the first one out of range.
bool CheckLabGeneratorOptions(const LabGeneratorOptions& options, QString& error);

// Writes the lab file to `device` (open for writing). False with `error` when the options are
// out of range or the device does not take the bytes.
bool GenerateLab(const LabGeneratorOptions& options, QIODevice& device, QString& error);

} // namespace velmora::platform::lab
