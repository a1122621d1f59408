// Runs the test program from a private copy of the program folder, with a
// private HOME and TMPDIR, so that tests which write LastSetting.xml or
// delete the camera library run in parallel without meeting.
#pragma once

#include <QDir>
#include <QTemporaryDir>

#include <string>
#include <vector>

namespace tavrin::test {

// A copy of the program folder (this program, libTavrinLens.so, Language/)
// with a data-source module and cfgInfo.xml, and private home, temporary
// and runtime folders beside it; removed when the object goes.
class PrivateProgramFolder {
 public:
  bool Create();
  // Runs the copy there and returns its exit status.
  int Run(const std::vector<std::string>& args,
          const std::vector<std::string>& extraEnv = {}) const;
  std::vector<std::string> Environment(const std::vector<std::string>& extraEnv) const;
  std::string Root() const { return root.path().toStdString(); }

 private:
  QTemporaryDir root{QDir::tempPath() + "/tavrin-mainwindow-test-XXXXXX"};
  std::string programCopy;
};

// True when this process already runs from a private copy.
bool InPrivateFolder();
// Runs this program with the same arguments from a fresh private folder
// and returns its exit status.
int RunInPrivateFolder(int argc, char** argv, const std::vector<std::string>& extraEnv = {});

// The private root (holding bin/, home/, tmp/ and cameras.txt).
std::string PrivateRoot();
// Folder of the running program, without trailing separator.
std::string ProgramFolder();
// The file TAVRIN_LENS_VIRTUAL_FILE names.
std::string CameraListPath();

}  // namespace tavrin::test
