#include "cli/CliSupport.h"

#include "applib/Exceptions.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <unistd.h>

namespace velmora::cli {

QString CsvField(const QString& text)
{
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) ||
        text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'))) {
        QString quoted = text;
        quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
        return QLatin1Char('"') + quoted + QLatin1Char('"');
    }
    return text;
}

QString ResultSet::Text(const QVariant& v)
{
    if (v.typeId() == QMetaType::Bool)
        return v.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    return v.toString();
}

void ResultSet::Write(QTextStream& out, const QString& format) const
{
    if (format == QLatin1String("csv")) {
        QStringList header;
        for (const QString& c : columns)
            header << CsvField(c);
        out << header.join(QLatin1Char(',')) << "\r\n";
        for (const QVariantList& row : rows) {
            QStringList fields;
            for (const QVariant& v : row)
                fields << CsvField(Text(v));
            out << fields.join(QLatin1Char(',')) << "\r\n";
        }
    } else if (format == QLatin1String("json")) {
        QJsonArray array;
        for (const QVariantList& row : rows) {
            QJsonObject object;
            for (int i = 0; i < columns.size(); ++i)
                object.insert(columns[i], QJsonValue::fromVariant(row[i]));
            array.append(object);
        }
        out << QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
    } else {
        QList<int> widths;
        for (const QString& c : columns)
            widths << c.size();
        for (const QVariantList& row : rows)
            for (int i = 0; i < row.size(); ++i)
                widths[i] = std::max(widths[i], int(Text(row[i]).size()));
        auto line = [&](const QStringList& cells) {
            QStringList padded;
            for (int i = 0; i < cells.size(); ++i)
                padded << cells[i].leftJustified(widths[i]);
            out << padded.join(QLatin1String("  ")).trimmed() << '\n';
        };
        line(columns);
        QStringList rule;
        for (int w : widths)
            rule << QString(w, QLatin1Char('-'));
        line(rule);
        for (const QVariantList& row : rows) {
            QStringList cells;
            for (const QVariant& v : row)
                cells << Text(v);
            line(cells);
        }
    }
}

// The log is opened (and an older one emptied) only at its first line; a folder where it
// cannot be written must show before a refresh starts, not in its middle.
bool CheckLogWritable(const QString& logPath, QString& error)
{
    const QFileInfo info(logPath);
    const QString folder = info.absolutePath();
    if (!QFileInfo(folder).isDir()) {
        error = Fmt("Log file \"%s\" cannot be written: the folder \"%s\" does not exist", logPath, folder);
        return false;
    }
    if (info.exists() && !info.isFile()) {
        error = Fmt("Log file \"%s\" cannot be written: it is not a file", logPath);
        return false;
    }
    const QByteArray target = QFile::encodeName(info.exists() ? logPath : folder);
    if (::access(target.constData(), W_OK) != 0) {
        error = Fmt("Log file \"%s\" cannot be written: %s", logPath,
                    QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    return true;
}

int CountLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().count("\r\n");
}

void WriteResult(const ResultSet& result, const QString& format, const std::optional<QString>& output,
                 QTextStream& out)
{
    if (!output) {
        result.Write(out, format);
        return;
    }
    QSaveFile file(*output);
    if (!file.open(QIODevice::WriteOnly))
        throw Exception(Fmt("Output file \"%s\" cannot be written: %s", *output, file.errorString()));
    QTextStream stream(&file);
    result.Write(stream, format);
    stream.flush();
    if (!file.commit())
        throw Exception(Fmt("Output file \"%s\" cannot be written: %s", *output, file.errorString()));
}

QString CheckFormat(const std::optional<QString>& format)
{
    const QString f = format.value_or(QStringLiteral("table"));
    if (f != QLatin1String("table") && f != QLatin1String("csv") && f != QLatin1String("json"))
        throw UsageError(Fmt("unknown format \"%s\" (table, csv or json)", f));
    return f;
}


namespace {

// Stands in for the network when a command only reads or deletes stored data.
class NoNetwork : public platform::Network
{
public:
    QString Description() const override { return QStringLiteral("no network"); }
    QString LocalComputerName() const override { return QStringLiteral("LOCALHOST"); }
    uint32_t WNetOpenEnum(uint32_t, uint32_t, uint32_t, const platform::NetResource*,
                          platform::EnumHandle&) override { return platform::kErrorNoNetwork; }
    uint32_t WNetEnumResource(platform::EnumHandle, uint32_t& count,
                              std::vector<platform::NetResource>&, uint32_t) override
    {
        count = 0;
        return platform::kErrorInvalidHandle;
    }
    uint32_t WNetCloseEnum(platform::EnumHandle) override { return platform::kErrorInvalidHandle; }
    uint32_t WNetGetLastError(uint32_t&, QString&, int, QString&, int) override
    {
        return platform::kErrorNoNetwork;
    }
    uint32_t WNetGetProviderName(uint32_t, QString&, uint32_t&) override { return platform::kErrorNoNetwork; }
    uint32_t WNetAddConnection2(const platform::NetResource&, const QString&, const QString&,
                                uint32_t) override { return platform::kErrorNoNetwork; }
    uint32_t WNetCancelConnection2(const QString&, uint32_t, bool) override
    {
        return platform::kErrorNotConnected;
    }
    std::shared_ptr<const platform::NetApiLibrary> LoadNetApiLibrary(const QString&) override
    {
        return nullptr;
    }
    uint32_t RegConnectRegistry(const QString&, platform::RegKey, platform::RegKey&) override
    {
        return platform::kErrorNoNetwork;
    }
    uint32_t RegCloseKey(platform::RegKey) override { return platform::kErrorInvalidHandle; }
    bool ResolveHost(const QString&, uint32_t&) override { return false; }
    uint32_t IcmpSendEcho(uint32_t, const QByteArray&, uint32_t, platform::EchoReply&) override
    {
        return 0;
    }
};


struct RegisteredCommand
{
    QString usage;
    CommandHandler handler = nullptr;
};

// Function-local so that registrations from other files' static objects find it built.
std::map<QString, RegisteredCommand>& Registry()
{
    static std::map<QString, RegisteredCommand> registry;
    return registry;
}

} // namespace

std::unique_ptr<platform::Network> MakeNoNetwork()
{
    return std::make_unique<NoNetwork>();
}

CommandRegistration::CommandRegistration(const char* name, const char* usage, CommandHandler handler)
{
    Registry()[QString::fromLatin1(name)] = RegisteredCommand{QString::fromLatin1(usage), handler};
}

CommandHandler FindCommand(const QString& name)
{
    const auto it = Registry().find(name);
    return it == Registry().end() ? nullptr : it->second.handler;
}

QString RegisteredUsage()
{
    QString usage;
    for (const auto& [name, command] : Registry())
        usage += command.usage;
    return usage;
}

} // namespace velmora::cli
