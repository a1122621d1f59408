#include "tests/mainwindow/private_program_folder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "tests/support/folder_copy.h"

namespace tavrin::test {

namespace {

constexpr const char* kRootVariable = "TAVRIN_TEST_PRIVATE_DIR";
constexpr int kChildTimeoutMs = 10 * 60 * 1000;

bool WriteText(const QString& path, const QByteArray& text) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

}  // namespace

bool InPrivateFolder() {
  return !platform::Environment(kRootVariable).empty();
}

std::string PrivateRoot() {
  return platform::Environment(kRootVariable);
}

std::string ProgramFolder() {
  return QFileInfo(QString::fromStdString(platform::ProgramPath())).absolutePath().toStdString();
}

std::string CameraListPath() {
  return PrivateRoot() + "/cameras.txt";
}

bool PrivateProgramFolder::Create() {
  if (!root.isValid()) return false;
  const QString program = QString::fromStdString(platform::ProgramPath());
  const QString from = QFileInfo(program).absolutePath();
  const QString bin = root.path() + "/bin";
  QDir().mkpath(bin);
  QDir().mkpath(root.path() + "/home/Documents/DSConfig");
  QDir().mkpath(root.path() + "/tmp");
  QDir().mkpath(root.path() + "/run");
  QFile::setPermissions(root.path() + "/run",
                        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  // Copies, not links: the program finds its folder through /proc/self/exe.
  const QString copy = bin + "/" + QFileInfo(program).fileName();
  if (!QFile::copy(program, copy)) return false;
  QFile::setPermissions(copy, QFile::permissions(program));
  programCopy = copy.toStdString();
  QFile::copy(from + "/libTavrinLens.so", bin + "/libTavrinLens.so");
  CopyFolder(from + "/Language", bin + "/Language");
  // A data-source module and a configuration without block names: the link
  // attaches, and no channel opens.
  WriteText(bin + "/TavrinSource.ds", "");
  WriteText(bin + "/cfgInfo.xml", "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<cfg></cfg>\n");
  WriteText(root.path() + "/cameras.txt", "");
  return true;
}

std::vector<std::string> PrivateProgramFolder::Environment(
    const std::vector<std::string>& extraEnv) const {
  const std::string r = root.path().toStdString();
  const std::vector<std::string> defaults = {
      std::string(kRootVariable) + "=" + r,
      "HOME=" + r + "/home",
      "TMPDIR=" + r + "/tmp",
      "XDG_CONFIG_HOME=" + r + "/home/.config",
      "XDG_RUNTIME_DIR=" + r + "/run",
      "TAVRIN_LENS_V4L2=0",
      "TAVRIN_LENS_VIRTUAL=",
      "TAVRIN_LENS_VIRTUAL_FILE=" + r + "/cameras.txt",
      "QT_QPA_PLATFORM=offscreen",
  };
  // The caller's entries replace the defaults of the same name.
  std::vector<std::string> env = extraEnv;
  for (const std::string& entry : defaults) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const std::string& extra : extraEnv) replaced = replaced || extra.rfind(name, 0) == 0;
    if (!replaced) env.push_back(entry);
  }
  return env;
}

int PrivateProgramFolder::Run(const std::vector<std::string>& args,
                              const std::vector<std::string>& extraEnv) const {
  std::string error;
  const int pid = platform::SpawnProcess(programCopy, args, Environment(extraEnv), &error);
  if (pid < 0) {
    std::fprintf(stderr, "cannot start the private copy: %s\n", error.c_str());
    return 2;
  }
  int status = 0;
  if (!platform::WaitProcess(pid, kChildTimeoutMs, &status)) {
    platform::KillProcess(pid);
    return 3;
  }
  return status;
}

int RunInPrivateFolder(int argc, char** argv, const std::vector<std::string>& extraEnv) {
  PrivateProgramFolder folder;
  if (!folder.Create()) return 2;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return folder.Run(args, extraEnv);
}

}  // namespace tavrin::test
