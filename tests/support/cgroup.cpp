#include "support/cgroup.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

namespace {

bool writeText(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.flush();
}

} // namespace

LimitedCgroup::LimitedCgroup(std::uint64_t limit)
{
    QFile self(QStringLiteral("/proc/self/cgroup"));
    if (!self.open(QIODevice::ReadOnly))
        return;
    for (const QByteArray &line : self.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(':');
        if (fields.size() != 3)
            continue;
        const QString path = QString::fromUtf8(fields[2]);
        if (fields[0] == "0" && fields[1].isEmpty())
            join(QStringLiteral("/sys/fs/cgroup") + path, "memory.max", limit);
        else if (fields[1].split(',').contains("memory"))
            join(QStringLiteral("/sys/fs/cgroup/memory") + path, "memory.limit_in_bytes", limit);
        if (!folder.isEmpty())
            return;
    }
}

LimitedCgroup::~LimitedCgroup()
{
    if (folder.isEmpty())
        return;
    writeText(parent + QStringLiteral("/cgroup.procs"), QByteArray::number(getpid()));
    QDir().rmdir(folder);
}

void LimitedCgroup::join(const QString &group, const char *limitFile, std::uint64_t limit)
{
    const QString child = group + QStringLiteral("/morvastel-test-%1").arg(getpid());
    if (!QDir(group).exists() || !QDir().mkdir(child))
        return;
    if (!writeText(child + '/' + limitFile, QByteArray::number(qulonglong(limit))) ||
        !writeText(child + QStringLiteral("/cgroup.procs"), QByteArray::number(getpid()))) {
        QDir().rmdir(child);
        return;
    }
    parent = group;
    folder = child;
}
