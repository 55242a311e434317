#pragma once
// The form in which the program hands values to its databases, the same on every backend:
// booleans as 0/1 (flag columns are small integers), dates and times as local-time text
// "yyyy-MM-dd HH:mm:ss.zzz", which sorts and compares as text.

#include <QVariant>

namespace velmora::data {

QVariant PortableBindValue(const QVariant& value);

} // namespace velmora::data
