#pragma once
// The entry-point tables of libraries bound by name: each name is looked up once, in table
// order, into a slot that stays empty when the library lacks it.

#include "platform/Network.h"

#include <QStringList>
#include <array>
#include <string_view>
#include <vector>

namespace velmora::netsec {

template <size_t N>
constexpr int EntrySlot(const std::array<const char*, N>& names, std::string_view name)
{
    for (size_t i = 0; i < N; ++i) {
        if (std::string_view(names[i]) == name)
            return int(i);
    }
    return -1;
}

template <size_t N>
std::vector<const void*> ResolveEntryPoints(const platform::Library* library,
                                            const std::array<const char*, N>& names)
{
    std::vector<const void*> table(N, nullptr);
    if (library) {
        for (size_t i = 0; i < N; ++i)
            table[i] = library->Resolve(QString::fromLatin1(names[i]));
    }
    return table;
}

template <size_t N> QStringList EntryNameList(const std::array<const char*, N>& names)
{
    QStringList list;
    for (const char* name : names)
        list << QString::fromLatin1(name);
    return list;
}

} // namespace velmora::netsec
