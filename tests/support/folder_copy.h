// Copying a folder tree for tests that run from a private copy of the
// program folder.
#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

namespace tavrin::test {

// Copies every file and folder below from into to, making to first; true
// when all of it was copied.
inline bool CopyFolder(const QString& from, const QString& to) {
  if (!QDir().mkpath(to)) return false;
  bool ok = true;
  for (const QFileInfo& entry :
       QDir(from).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
    const QString target = to + "/" + entry.fileName();
    ok = (entry.isDir() ? CopyFolder(entry.filePath(), target)
                        : QFile::copy(entry.filePath(), target)) &&
         ok;
  }
  return ok;
}

}  // namespace tavrin::test
