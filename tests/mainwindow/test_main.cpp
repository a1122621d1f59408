// The scan window tests run from a private copy of the program folder.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstring>

#include "tests/mainwindow/private_program_folder.h"

int main(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; ++i)
    listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;
  if (!listing && !tavrin::test::InPrivateFolder()) {
    return tavrin::test::RunInPrivateFolder(argc, argv);
  }
  testing::InitGoogleTest(&argc, argv);
  // Listing needs no windows, and may run where there is no display.
  if (listing) return RUN_ALL_TESTS();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("TavrinDesk"));
  return RUN_ALL_TESTS();
}
