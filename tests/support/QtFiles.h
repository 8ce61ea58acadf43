// The working directory for a scope, and whole files read back, for the
// tests of the Qt window.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

namespace testsupport {

// Makes dir the working directory until the scope ends.
class InDir {
public:
    explicit InDir(const QString& dir) : before_(QDir::currentPath()) { QDir::setCurrent(dir); }
    InDir(const InDir&) = delete;
    InDir& operator=(const InDir&) = delete;
    ~InDir() { QDir::setCurrent(before_); }

private:
    QString before_;
};

// The file's bytes; empty when it cannot be read.
inline QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace testsupport
