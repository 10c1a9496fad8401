#pragma once

#include <QDir>
#include <QFile>
#include <cstdlib>
#include <functional>
#include <string>

// "FUZZER --write-seeds DIR" writes the target's starting inputs into DIR and exits.
namespace fuzz {

inline QString &seedDir()
{
    static QString dir;
    return dir;
}

inline void writeSeed(const char *name, const std::string &bytes)
{
    QFile file(QDir(seedDir()).filePath(QString::fromLatin1(name)));
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

inline void handleSeedRequest(int argc, char **argv, const std::function<void()> &write)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--write-seeds") {
            seedDir() = QString::fromLocal8Bit(argv[i + 1]);
            QDir().mkpath(seedDir());
            write();
            std::exit(0);
        }
    }
}

} // namespace fuzz
