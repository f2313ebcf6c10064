#pragma once

#include <QString>

#include <cstdint>

// A child of this process's memory cgroup (v2, or v1's memory controller)
// with a limit, which this process joins while it lives and leaves after;
// the processes it starts meanwhile are in it too.
class LimitedCgroup
{
public:
    explicit LimitedCgroup(std::uint64_t limit);
    ~LimitedCgroup();
    LimitedCgroup(const LimitedCgroup &) = delete;
    LimitedCgroup &operator=(const LimitedCgroup &) = delete;

    bool joined() const { return !folder.isEmpty(); }

private:
    void join(const QString &group, const char *limitFile, std::uint64_t limit);

    QString parent;
    QString folder;
};
