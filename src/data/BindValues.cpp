#include "data/BindValues.h"

#include <QDateTime>

namespace velmora::data {

QVariant PortableBindValue(const QVariant& value)
{
    if (value.isNull())
        return value;
    switch (value.metaType().id()) {
    case QMetaType::Bool:
        return QVariant(value.toBool() ? 1 : 0);
    case QMetaType::QDateTime:
        return QVariant(
            value.toDateTime().toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")));
    case QMetaType::QDate:
        return QVariant(value.toDate().toString(QStringLiteral("yyyy-MM-dd")));
    default:
        return value;
    }
}

} // namespace velmora::data
