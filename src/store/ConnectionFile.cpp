#include "store/ConnectionFile.h"

#include "applib/DfxFormat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringDecoder>

namespace velmora::store {

namespace {
const QString kHeader = QStringLiteral("[oledb]");
const QString kComment = QStringLiteral("; Everything after this line is an OLE DB initstring");

QString DecodeFile(const QByteArray& bytes)
{
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        auto decoder = QStringDecoder(QStringDecoder::Utf16, QStringDecoder::Flag::ConvertInitialBom);
        QString text = decoder(bytes);
        if (text.startsWith(QChar(0xFEFF)))
            text.remove(0, 1);
        return text;
    }
    QString text = QString::fromUtf8(bytes);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    return text;
}
} // namespace

QString InitString::Value(const QString& key) const
{
    for (const auto& item : items)
        if (item.first.compare(key, Qt::CaseInsensitive) == 0)
            return item.second;
    return {};
}

InitString ParseInitString(const QString& text)
{
    InitString init;
    init.text = text.trimmed();
    int i = 0;
    const int n = init.text.size();
    while (i < n) {
        int eq = init.text.indexOf(QLatin1Char('='), i);
        if (eq < 0)
            break;
        QString key = init.text.mid(i, eq - i).trimmed();
        i = eq + 1;
        while (i < n && init.text[i] == QLatin1Char(' '))
            ++i;
        QString value;
        if (i < n && (init.text[i] == QLatin1Char('"') || init.text[i] == QLatin1Char('\''))) {
            const QChar quote = init.text[i++];
            while (i < n) {
                if (init.text[i] == quote) {
                    if (i + 1 < n && init.text[i + 1] == quote) {
                        value += quote;
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                value += init.text[i++];
            }
            while (i < n && init.text[i] != QLatin1Char(';'))
                ++i;
        } else {
            int semi = init.text.indexOf(QLatin1Char(';'), i);
            if (semi < 0)
                semi = n;
            value = init.text.mid(i, semi - i).trimmed();
            i = semi;
        }
        if (i < n && init.text[i] == QLatin1Char(';'))
            ++i;
        if (!key.isEmpty())
            init.items.append({key, value});
    }
    return init;
}

bool ReadConnectionFile(const QString& path, InitString& out, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = Fmt("Connection file \"%s\" cannot be read: %s", path, file.errorString());
        return false;
    }
    const QString text = DecodeFile(file.readAll());
    const QStringList lines = text.split(QRegularExpression(QStringLiteral("\r\n|\n|\r")));
    bool headerSeen = false;
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.compare(kHeader, Qt::CaseInsensitive) == 0) {
            headerSeen = true;
            continue;
        }
        if (!headerSeen)
            break;
        out = ParseInitString(line);
        return true;
    }
    error = Fmt("Connection file \"%s\" is not a data-link file: %s", path,
                headerSeen ? QStringLiteral("it holds no initialisation string")
                           : QStringLiteral("the \"[oledb]\" header is missing"));
    return false;
}

bool WriteConnectionFile(const QString& path, const QString& initString, QString& error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        error = Fmt("Connection file \"%s\" cannot be written: %s", path, file.errorString());
        return false;
    }
    const QString text = kHeader + QStringLiteral("\r\n") + kComment + QStringLiteral("\r\n") +
                         initString + QStringLiteral("\r\n");
    QByteArray bytes("\xFF\xFE", 2);
    bytes.append(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    file.write(bytes);
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!file.commit()) {
        error = Fmt("Connection file \"%s\" cannot be written: %s", path, file.errorString());
        return false;
    }
    return true;
}

bool ToConnectionParams(const InitString& init, const QString& programFolder,
                        data::ConnectionParams& params, QString& error)
{
    const QString provider = init.Value(QStringLiteral("Provider"));
    params = {};
    if (provider.startsWith(QLatin1String("SQLOLEDB"), Qt::CaseInsensitive) ||
        provider.startsWith(QLatin1String("SQLNCLI"), Qt::CaseInsensitive)) {
        error = Fmt("The connection file names the provider \"%s\" (Microsoft SQL Server), "
                    "which is not available on this system; use SQLite or PostgreSQL",
                    provider);
        return false;
    }
    if (provider.compare(QLatin1String("SQLite"), Qt::CaseInsensitive) == 0) {
        params.provider = QStringLiteral("SQLite");
        QString source = init.Value(QStringLiteral("Data Source"));
        source.replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (source.isEmpty()) {
            error = QStringLiteral("The connection file names no SQLite database (Data Source)");
            return false;
        }
        params.dataSource = QDir::cleanPath(QDir(programFolder).absoluteFilePath(source));
    } else if (provider.compare(QLatin1String("PostgreSQL"), Qt::CaseInsensitive) == 0) {
        params.provider = QStringLiteral("PostgreSQL");
        params.dataSource = init.Value(QStringLiteral("Data Source"));
        params.catalog = init.Value(QStringLiteral("Initial Catalog"));
        params.userId = init.Value(QStringLiteral("User ID"));
        params.password = init.Value(QStringLiteral("Password"));
    } else {
        error = Fmt("The connection file names an unknown provider \"%s\"", provider);
        return false;
    }
    const QString timeout = init.Value(QStringLiteral("Connect Timeout"));
    if (!timeout.isEmpty())
        params.timeoutSeconds = timeout.toInt();
    return true;
}

QString SQLiteInitString(const QString& relativePath)
{
    QString source = relativePath;
    source.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return QStringLiteral("Provider=SQLite;Data Source=") + source;
}

} // namespace velmora::store
