// A fixture for tests that run the real programs as processes of their own
// from a private copy of the built program folder: bin/ with the programs
// and Language/, and home/, tmp/ and out/ beside it, removed after the test.
// The programs see only the copy's folders and the virtual cameras.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QString>
#include <QTemporaryDir>

#include <unistd.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "tests/support/folder_copy.h"

namespace tavrin::test {

// Mean grey level of a picture, 0..255.
inline double MeanGrey(const QImage& image) {
  const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
  double sum = 0;
  for (int y = 0; y < grey.height(); ++y) {
    const uchar* line = grey.constScanLine(y);
    for (int x = 0; x < grey.width(); ++x) sum += line[x];
  }
  return sum / (static_cast<double>(grey.width()) * grey.height());
}

// Sets each "NAME=value" of entries in this process's environment.
inline void SetEnvironmentOf(const std::vector<std::string>& entries) {
  for (const std::string& entry : entries) {
    const size_t equals = entry.find('=');
    ASSERT_TRUE(
        platform::SetEnvironment(entry.substr(0, equals).c_str(), entry.substr(equals + 1)));
  }
}

class ProgramCopyTest : public testing::Test {
 protected:
  // The copy's root is a new folder "<stem>-XXXXXX" in the temporary folder.
  explicit ProgramCopyTest(const QString& stem) : root(QDir::tempPath() + "/" + stem + "-XXXXXX") {}

  // Copies programs, with their permissions, and Language/ from the folder
  // from into bin/, and makes home/, tmp/ and out/.
  void CopyProgramFolder(const QString& from, std::initializer_list<const char*> programs) {
    ASSERT_TRUE(root.isValid());
    ASSERT_TRUE(QDir(root.path()).mkpath("bin"));
    for (const char* name : programs) {
      ASSERT_TRUE(QFile::copy(from + "/" + name, Bin(name))) << name;
      QFile::setPermissions(Bin(name), QFile::permissions(from + "/" + name));
    }
    ASSERT_TRUE(CopyFolder(from + "/Language", Bin("Language")));
    for (const char* folder : {"home", "tmp", "out"}) ASSERT_TRUE(QDir(root.path()).mkpath(folder));
    // Private, as a runtime folder must be.
    QFile::setPermissions(Path("tmp"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }

  QString Bin(const QString& name) const { return root.path() + "/bin/" + name; }
  QString Path(const QString& name) const { return root.path() + "/" + name; }
  // The programs' private folder inside the copy's tmp/, which they make.
  QString PrivateTemp(const QString& name = {}) const {
    return Path("tmp/tavrin-" + QString::number(getuid()) + "/") + name;
  }

  // Home, configuration and runtime folders in the copy, no display, and
  // no cameras but the virtual ones cameras lists.
  std::vector<std::string> PrivateEnvironment(const std::string& cameras) const {
    return {"HOME=" + Path("home").toStdString(),
            "TMPDIR=" + Path("tmp").toStdString(),
            "XDG_CONFIG_HOME=" + Path("home/.config").toStdString(),
            "XDG_RUNTIME_DIR=" + Path("tmp").toStdString(),
            "QT_QPA_PLATFORM=offscreen",
            "TAVRIN_LENS_V4L2=0",
            "TAVRIN_LENS_VIRTUAL=" + cameras,
            "TAVRIN_LENS_VIRTUAL_FILE="};
  }

  QTemporaryDir root;
};

}  // namespace tavrin::test
