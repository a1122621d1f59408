#include "tests/mainwindow/drive_fixture.h"

#include <QFile>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/dynamic_library.h"
#include "platform/paths.h"
#include "tests/mainwindow/private_program_folder.h"

namespace tavrin::test {

namespace fs = std::filesystem;

namespace {

void* HookLens() {
  // The window loaded it by this path; loading it again gives the same one.
  static void* module = nullptr;
  if (module == nullptr) module = platform::LoadLibraryFile(ProgramFolder() + "/libTavrinLens.so");
  return module;
}

}  // namespace

void DriveTest::SetUp() {
  ASSERT_TRUE(InPrivateFolder());
  ResetWindowState();
  fs::remove(platform::DocumentsFolder() + "/DSConfig/ShowModel.xml");
  SetCameras("document");
}

void DriveTest::TearDown() {
  WindowFixture::TearDown();
  SetLensHook(nullptr);
}

void DriveTest::WriteShowModel(int mode) {
  const std::string folder = platform::DocumentsFolder() + "/DSConfig";
  fs::create_directories(folder);
  const std::string path = folder + "/ShowModel.xml";
  if (mode < 0) {
    fs::remove(path);
    return;
  }
  std::ofstream(path, std::ios::trunc)
      << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<cfg><ShowMode>" << mode
      << "</ShowMode><ColorType>2</ColorType><RotateMode>0</RotateMode><DPIMode>0</DPIMode>"
         "</cfg>\n";
}

bool DriveTest::UseHookLens() {
  const std::string bin = ProgramFolder();
  std::error_code error;
  if (!fs::exists(bin + "/libTavrinLensReal.so")) {
    fs::rename(bin + "/libTavrinLens.so", bin + "/libTavrinLensReal.so", error);
    if (error) return false;
  }
  // Beside it, then in its place: a library an earlier test loaded is still
  // mapped, and overwriting its file in place would change it under the
  // loader's feet.
  const std::string fresh = bin + "/libTavrinLens.so.new";
  fs::copy_file(TAVRIN_HOOK_LENS, fresh, fs::copy_options::overwrite_existing, error);
  if (error) return false;
  fs::rename(fresh, bin + "/libTavrinLens.so", error);
  return !error;
}

std::vector<std::string> DriveTest::LensCalls() {
  using Calls = const char* (*)();
  auto calls = reinterpret_cast<Calls>(platform::FindLibrarySymbol(HookLens(), "driveLensCalls"));
  std::vector<std::string> names;
  if (calls == nullptr) return names;
  std::istringstream in(calls());
  for (std::string line; std::getline(in, line);) names.push_back(line);
  return names;
}

void DriveTest::ClearLensCalls() {
  using Clear = void (*)();
  if (auto clear =
          reinterpret_cast<Clear>(platform::FindLibrarySymbol(HookLens(), "driveLensClear")))
    clear();
}

void DriveTest::SetLensHook(Hook hook) {
  if (!fs::exists(ProgramFolder() + "/libTavrinLensReal.so")) return;
  using SetHook = void (*)(Hook);
  if (auto set =
          reinterpret_cast<SetHook>(platform::FindLibrarySymbol(HookLens(), "driveLensSetHook")))
    set(hook);
}

}  // namespace tavrin::test
