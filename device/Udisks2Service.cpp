#include "DiskService.h"

namespace {
class Udisks2Service : public DiskService {
public:
    bool ejectDrive(const QString &, QString *error) override
    {
        if (error)
            *error = QStringLiteral("not implemented");
        return false;
    }
    QString mountFilesystem(const QString &, QString *error) override
    {
        if (error)
            *error = QStringLiteral("not implemented");
        return {};
    }
};
}

std::unique_ptr<DiskService> createSystemDiskService()
{
    return std::make_unique<Udisks2Service>();
}
