#include "platform/Network.h"

#include "platform/lab/LabNetwork.h"

namespace velmora::platform {

std::unique_ptr<Network> CreateNetwork(const QString& spec, QString& error)
{
    const QString labPrefix = QStringLiteral("lab:");
    if (spec.startsWith(labPrefix)) {
        const QString path = spec.mid(labPrefix.size());
        if (path.isEmpty()) {
            error = QStringLiteral("the lab network needs a file: \"lab:FILE\"");
            return nullptr;
        }
        return lab::LabNetwork::Open(path, error);
    }
    if (spec == QStringLiteral("smb")) {
        error = QStringLiteral("the smb network backend is not available in this build");
        return nullptr;
    }
    error = QStringLiteral("unknown network backend \"%1\" (expected \"lab:FILE\" or \"smb\")")
                .arg(spec);
    return nullptr;
}

} // namespace velmora::platform
