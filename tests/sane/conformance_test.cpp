// The rules the SANE standard sets a backend for its options and for the
// scan cycle, checked on the real backend with the real window, the way a
// backend tester walks them: every option in every state the source and
// page finding give, then start, read, cancel and what may be called when.
#include <sane/saneopts.h>

#include <QRegularExpression>

#include <cctype>
#include <cstring>
#include <map>
#include <set>

#include "tests/sane/sane_fixture.h"

namespace tavrin {
namespace {

using namespace sanetest;

class Conformance : public Scanimage, protected Backend {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(Scanimage::SetUp());
    ASSERT_NO_FATAL_FAILURE(test::SetEnvironmentOf(Environment()));
    module = platform::LoadLibraryFile(Path("sane/libsane-tavrin.so.1").toStdString());
    ASSERT_NE(module, nullptr) << platform::LastLibraryError();
    auto bind = [&](const char* name) { return platform::FindLibrarySymbol(module, name); };
    init = reinterpret_cast<decltype(&sane_init)>(bind("sane_init"));
    exit = reinterpret_cast<decltype(&sane_exit)>(bind("sane_exit"));
    open = reinterpret_cast<decltype(&sane_open)>(bind("sane_open"));
    close = reinterpret_cast<decltype(&sane_close)>(bind("sane_close"));
    descriptor =
        reinterpret_cast<decltype(&sane_get_option_descriptor)>(bind("sane_get_option_descriptor"));
    control = reinterpret_cast<decltype(&sane_control_option)>(bind("sane_control_option"));
    parameters = reinterpret_cast<decltype(&sane_get_parameters)>(bind("sane_get_parameters"));
    start = reinterpret_cast<decltype(&sane_start)>(bind("sane_start"));
    read = reinterpret_cast<decltype(&sane_read)>(bind("sane_read"));
    cancel = reinterpret_cast<decltype(&sane_cancel)>(bind("sane_cancel"));
    setIoMode = reinterpret_cast<decltype(&sane_set_io_mode)>(bind("sane_set_io_mode"));
    selectFd = reinterpret_cast<decltype(&sane_get_select_fd)>(bind("sane_get_select_fd"));
    ASSERT_TRUE(init && exit && open && close && descriptor && control && parameters && start &&
                read && cancel && setIoMode && selectFd);
    ASSERT_EQ(init(nullptr, nullptr), SANE_STATUS_GOOD);
    ASSERT_EQ(open(kDevice + std::strlen("tavrin:"), &handle), SANE_STATUS_GOOD);
  }

  void TearDown() override {
    if (handle != nullptr) close(handle);
    if (exit != nullptr) exit();
    Scanimage::TearDown();
  }

  int OptionNamed(const char* name) {
    for (int i = 1; descriptor(handle, i) != nullptr; ++i)
      if (std::strcmp(descriptor(handle, i)->name, name) == 0) return i;
    return -1;
  }

  SANE_Status SetWord(const char* name, SANE_Word value, SANE_Int* info = nullptr) {
    return control(handle, OptionNamed(name), SANE_ACTION_SET_VALUE, &value, info);
  }
  SANE_Status SetText(const char* name, const char* value, SANE_Int* info = nullptr) {
    std::vector<char> buffer(descriptor(handle, OptionNamed(name))->size, '\0');
    std::strncpy(buffer.data(), value, buffer.size() - 1);
    return control(handle, OptionNamed(name), SANE_ACTION_SET_VALUE, buffer.data(), info);
  }

  // The standard's rules for one option's descriptor and value.
  void CheckOption(int index) {
    const SANE_Option_Descriptor* d = descriptor(handle, index);
    ASSERT_NE(d, nullptr) << index;
    SCOPED_TRACE(std::string("option ") + std::to_string(index) + " " + (d->name ? d->name : ""));
    ASSERT_NE(d->name, nullptr);
    ASSERT_NE(d->title, nullptr);
    ASSERT_NE(d->desc, nullptr);
    const SANE_Int word = sizeof(SANE_Word);
    if (d->type == SANE_TYPE_GROUP) {
      std::vector<char> any(64);
      EXPECT_EQ(control(handle, index, SANE_ACTION_GET_VALUE, any.data(), nullptr),
                SANE_STATUS_INVAL);
      return;
    }
    // Names: lower-case letters, digits and dashes, starting with a letter.
    ASSERT_TRUE(std::islower(static_cast<unsigned char>(d->name[0]))) << d->name;
    for (const char* c = d->name; *c != '\0'; ++c)
      EXPECT_TRUE(std::islower(static_cast<unsigned char>(*c)) ||
                  std::isdigit(static_cast<unsigned char>(*c)) || *c == '-')
          << d->name;
    EXPECT_TRUE(names.insert(d->name).second) << "two options named " << d->name;
    // Sizes and constraints by type.
    switch (d->type) {
      case SANE_TYPE_BOOL:
        EXPECT_EQ(d->size, word);
        EXPECT_EQ(d->constraint_type, SANE_CONSTRAINT_NONE);
        break;
      case SANE_TYPE_INT:
      case SANE_TYPE_FIXED:
        EXPECT_GT(d->size, 0);
        EXPECT_EQ(d->size % word, 0);
        EXPECT_NE(d->constraint_type, SANE_CONSTRAINT_STRING_LIST);
        break;
      case SANE_TYPE_STRING:
        EXPECT_TRUE(d->constraint_type == SANE_CONSTRAINT_STRING_LIST ||
                    d->constraint_type == SANE_CONSTRAINT_NONE);
        break;
      default:
        ADD_FAILURE() << "type " << d->type;
    }
    if (d->constraint_type == SANE_CONSTRAINT_RANGE) {
      ASSERT_NE(d->constraint.range, nullptr);
      EXPECT_LE(d->constraint.range->min, d->constraint.range->max);
      EXPECT_GE(d->constraint.range->quant, 0);
    }
    if (d->constraint_type == SANE_CONSTRAINT_STRING_LIST) {
      ASSERT_NE(d->constraint.string_list, nullptr);
      for (const SANE_String_Const* s = d->constraint.string_list; *s != nullptr; ++s)
        EXPECT_LT(static_cast<SANE_Int>(std::strlen(*s)), d->size) << *s;
    }
    // Capabilities: soft select needs soft detect, and excludes hard select.
    if (d->cap & SANE_CAP_SOFT_SELECT) {
      EXPECT_TRUE(d->cap & SANE_CAP_SOFT_DETECT);
      EXPECT_FALSE(d->cap & SANE_CAP_HARD_SELECT);
    }
    std::vector<char> value(d->size + word, '\0');
    SANE_Int info = -1;
    if (!SANE_OPTION_IS_ACTIVE(d->cap)) {
      // An inactive option has no value to get or set.
      EXPECT_EQ(control(handle, index, SANE_ACTION_GET_VALUE, value.data(), nullptr),
                SANE_STATUS_INVAL);
      EXPECT_EQ(control(handle, index, SANE_ACTION_SET_VALUE, value.data(), &info),
                SANE_STATUS_INVAL);
      return;
    }
    ASSERT_EQ(control(handle, index, SANE_ACTION_GET_VALUE, value.data(), nullptr),
              SANE_STATUS_GOOD);
    // The value keeps to its constraint.
    SANE_Word current = 0;
    std::memcpy(&current, value.data(), sizeof(current));
    if (d->constraint_type == SANE_CONSTRAINT_RANGE) {
      EXPECT_GE(current, d->constraint.range->min);
      EXPECT_LE(current, d->constraint.range->max);
    } else if (d->constraint_type == SANE_CONSTRAINT_STRING_LIST) {
      bool listed = false;
      for (const SANE_String_Const* s = d->constraint.string_list; *s != nullptr; ++s)
        listed = listed || std::strcmp(*s, value.data()) == 0;
      EXPECT_TRUE(listed) << value.data();
    } else if (d->type == SANE_TYPE_BOOL) {
      EXPECT_TRUE(current == SANE_TRUE || current == SANE_FALSE);
    }
    // No option may be set automatically unless it says so.
    if (!(d->cap & SANE_CAP_AUTOMATIC)) {
      EXPECT_EQ(control(handle, index, SANE_ACTION_SET_AUTO, nullptr, &info), SANE_STATUS_INVAL);
    }
    if (!SANE_OPTION_IS_SETTABLE(d->cap)) {
      EXPECT_EQ(control(handle, index, SANE_ACTION_SET_VALUE, value.data(), &info),
                SANE_STATUS_INVAL);
      return;
    }
    // Setting the value it has is exact.
    info = -1;
    ASSERT_EQ(control(handle, index, SANE_ACTION_SET_VALUE, value.data(), &info), SANE_STATUS_GOOD);
    EXPECT_FALSE(info & SANE_INFO_INEXACT);
    if (d->constraint_type == SANE_CONSTRAINT_RANGE) {
      // Outside its range: refused, or set to the nearest allowed value,
      // which is written back, said to be inexact, and is what is read.
      for (const SANE_Word outside : {d->constraint.range->min - SANE_FIX(1.0) - 1,
                                      d->constraint.range->max + SANE_FIX(1.0) + 1}) {
        SANE_Word asked = outside;
        info = 0;
        const SANE_Status status = control(handle, index, SANE_ACTION_SET_VALUE, &asked, &info);
        if (status == SANE_STATUS_INVAL) continue;
        ASSERT_EQ(status, SANE_STATUS_GOOD);
        EXPECT_TRUE(info & SANE_INFO_INEXACT) << "info " << info;
        EXPECT_NE(asked, outside) << "the adjusted value was not written back";
        SANE_Word read = 0;
        control(handle, index, SANE_ACTION_GET_VALUE, &read, nullptr);
        EXPECT_EQ(read, asked);
        EXPECT_GE(read, d->constraint.range->min);
        EXPECT_LE(read, d->constraint.range->max);
      }
      control(handle, index, SANE_ACTION_SET_VALUE, value.data(), nullptr);
    }
    if (d->constraint_type == SANE_CONSTRAINT_STRING_LIST) {
      // A string not in the list is refused and changes nothing.
      std::vector<char> wrong(d->size, '\0');
      std::strncpy(wrong.data(), "no such value", wrong.size() - 1);
      EXPECT_EQ(control(handle, index, SANE_ACTION_SET_VALUE, wrong.data(), &info),
                SANE_STATUS_INVAL);
      std::vector<char> after(d->size + word, '\0');
      control(handle, index, SANE_ACTION_GET_VALUE, after.data(), nullptr);
      EXPECT_STREQ(after.data(), value.data());
    }
  }

  // Which options are active, by index.
  std::map<int, SANE_Int> Capabilities() {
    std::map<int, SANE_Int> caps;
    for (int i = 1; descriptor(handle, i) != nullptr; ++i) caps[i] = descriptor(handle, i)->cap;
    return caps;
  }

  void* module = nullptr;
  SANE_Handle handle = nullptr;
  std::set<std::string> names;
};

TEST_F(Conformance, EveryOptionInEveryStateKeepsTheOptionRules) {
  // Option 0 counts the options, and is read only.
  const SANE_Option_Descriptor* count = descriptor(handle, 0);
  ASSERT_NE(count, nullptr);
  EXPECT_EQ(count->type, SANE_TYPE_INT);
  EXPECT_EQ(count->size, static_cast<SANE_Int>(sizeof(SANE_Word)));
  EXPECT_FALSE(SANE_OPTION_IS_SETTABLE(count->cap));
  SANE_Word options = 0;
  ASSERT_EQ(control(handle, 0, SANE_ACTION_GET_VALUE, &options, nullptr), SANE_STATUS_GOOD);
  EXPECT_EQ(descriptor(handle, options), nullptr);
  EXPECT_EQ(descriptor(handle, -1), nullptr);
  EXPECT_NE(descriptor(handle, options - 1), nullptr);
  SANE_Int info = 0;
  EXPECT_EQ(control(handle, 0, SANE_ACTION_SET_VALUE, &options, &info), SANE_STATUS_INVAL);
  EXPECT_EQ(control(handle, options, SANE_ACTION_GET_VALUE, &options, nullptr), SANE_STATUS_INVAL);

  for (const char* source : {"Flatbed", "Automatic Document Feeder", "Camera (interactive)"}) {
    for (const SANE_Word findPage : {SANE_TRUE, SANE_FALSE}) {
      SCOPED_TRACE(std::string(source) + (findPage ? " finding the page" : " with an area"));
      // A change that turns other options on or off says so.
      auto before = Capabilities();
      ASSERT_EQ(SetText(SANE_NAME_SCAN_SOURCE, source, &info), SANE_STATUS_GOOD);
      if (Capabilities() != before) {
        EXPECT_TRUE(info & SANE_INFO_RELOAD_OPTIONS);
      }
      before = Capabilities();
      SANE_Parameters was{};
      parameters(handle, &was);
      ASSERT_EQ(SetWord("find-page", findPage, &info), SANE_STATUS_GOOD);
      if (Capabilities() != before) {
        EXPECT_TRUE(info & SANE_INFO_RELOAD_OPTIONS);
      }
      SANE_Parameters now{};
      parameters(handle, &now);
      if (std::memcmp(&was, &now, sizeof(now)) != 0) {
        EXPECT_TRUE(info & SANE_INFO_RELOAD_PARAMS);
      }
      names.clear();
      for (int i = 1; i < options; ++i) CheckOption(i);
    }
  }
  EXPECT_TRUE(WindowProcesses(Bin("TavrinDesk")).empty()) << "options alone start no window";
}

TEST_F(Conformance, TheScanCycleKeepsItsRules) {
  SANE_Byte buffer[32768];
  SANE_Int length = 99;
  // Before a start: nothing to read, and no I/O mode or select descriptor.
  EXPECT_NE(read(handle, buffer, sizeof(buffer), &length), SANE_STATUS_GOOD);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(setIoMode(handle, SANE_FALSE), SANE_STATUS_INVAL);
  SANE_Int fd = -1;
  EXPECT_EQ(selectFd(handle, &fd), SANE_STATUS_INVAL);
  // A cancel with no scan does no harm.
  cancel(handle);

  // With an area the parameters before the scan are the page's; with the
  // page to be found its length is unknown until the start.
  ASSERT_EQ(SetText(SANE_NAME_SCAN_MODE, "Gray"), SANE_STATUS_GOOD);
  ASSERT_EQ(SetWord(SANE_NAME_SCAN_RESOLUTION, 100), SANE_STATUS_GOOD);
  SANE_Parameters before{};
  ASSERT_EQ(parameters(handle, &before), SANE_STATUS_GOOD);
  EXPECT_EQ(before.lines, -1);
  ASSERT_EQ(SetWord("find-page", SANE_FALSE), SANE_STATUS_GOOD);
  ASSERT_EQ(SetWord(SANE_NAME_SCAN_BR_X, SANE_FIX(200.0)), SANE_STATUS_GOOD);
  ASSERT_EQ(SetWord(SANE_NAME_SCAN_BR_Y, SANE_FIX(100.0)), SANE_STATUS_GOOD);
  ASSERT_EQ(parameters(handle, &before), SANE_STATUS_GOOD);
  EXPECT_EQ(before.pixels_per_line, 787);
  EXPECT_EQ(before.lines, 394);

  ASSERT_EQ(start(handle), SANE_STATUS_GOOD);
  SANE_Parameters during{};
  ASSERT_EQ(parameters(handle, &during), SANE_STATUS_GOOD);
  EXPECT_EQ(std::memcmp(&before, &during, sizeof(during)), 0) << "the estimate was not the page";
  EXPECT_EQ(during.format, SANE_FRAME_GRAY);
  EXPECT_EQ(during.depth, 8);
  EXPECT_EQ(during.bytes_per_line, during.pixels_per_line);
  EXPECT_TRUE(during.last_frame);
  // During the scan: values may be read, not set; blocking I/O only.
  SANE_Int info = -1;
  EXPECT_EQ(SetText(SANE_NAME_SCAN_MODE, "Color", &info), SANE_STATUS_DEVICE_BUSY);
  EXPECT_EQ(SetWord(SANE_NAME_SCAN_RESOLUTION, 300), SANE_STATUS_DEVICE_BUSY);
  SANE_Word dpi = 0;
  EXPECT_EQ(
      control(handle, OptionNamed(SANE_NAME_SCAN_RESOLUTION), SANE_ACTION_GET_VALUE, &dpi, nullptr),
      SANE_STATUS_GOOD);
  EXPECT_EQ(dpi, 100);
  EXPECT_EQ(setIoMode(handle, SANE_FALSE), SANE_STATUS_GOOD);
  EXPECT_EQ(setIoMode(handle, SANE_TRUE), SANE_STATUS_UNSUPPORTED);
  EXPECT_EQ(selectFd(handle, &fd), SANE_STATUS_UNSUPPORTED);
  // The frame is exactly its lines, then EOF, and EOF again.
  long total = 0;
  SANE_Status status = SANE_STATUS_GOOD;
  while ((status = read(handle, buffer, 1000, &length)) == SANE_STATUS_GOOD) {
    EXPECT_LE(length, 1000);
    total += length;
  }
  EXPECT_EQ(status, SANE_STATUS_EOF);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(total, static_cast<long>(during.bytes_per_line) * during.lines);
  EXPECT_EQ(read(handle, buffer, sizeof(buffer), &length), SANE_STATUS_EOF);
  // The scan is still on until the cancel; the flatbed's next page is none.
  EXPECT_EQ(SetWord(SANE_NAME_SCAN_RESOLUTION, 300), SANE_STATUS_DEVICE_BUSY);
  EXPECT_EQ(start(handle), SANE_STATUS_NO_DOCS);
  cancel(handle);
  EXPECT_EQ(SetWord(SANE_NAME_SCAN_RESOLUTION, 150), SANE_STATUS_GOOD);
  EXPECT_EQ(setIoMode(handle, SANE_FALSE), SANE_STATUS_INVAL);

  // A cancel in the middle of a frame: the next read says so, and a new
  // start after it gives a whole new page.
  ASSERT_EQ(start(handle), SANE_STATUS_GOOD);
  ASSERT_EQ(read(handle, buffer, sizeof(buffer), &length), SANE_STATUS_GOOD);
  cancel(handle);
  EXPECT_EQ(read(handle, buffer, sizeof(buffer), &length), SANE_STATUS_CANCELLED);
  EXPECT_EQ(length, 0);
  ASSERT_EQ(start(handle), SANE_STATUS_GOOD);
  ASSERT_EQ(parameters(handle, &during), SANE_STATUS_GOOD);
  EXPECT_EQ(during.pixels_per_line, 1181);  // 200 mm at 150 DPI
  total = 0;
  while ((status = read(handle, buffer, sizeof(buffer), &length)) == SANE_STATUS_GOOD)
    total += length;
  EXPECT_EQ(status, SANE_STATUS_EOF);
  EXPECT_EQ(total, static_cast<long>(during.bytes_per_line) * during.lines);
  cancel(handle);
  close(handle);
  handle = nullptr;
  EXPECT_TRUE(WindowGone()) << "the camera would stay in use";
}

// SANE's own backend tester, compiled here from its source beside the
// checkout and run through libsane's dll backend: every option at its
// limits, and scans in every mode at the lowest, the highest and a random resolution, read in part,
// in random lengths and whole. (Levels 3 and 4 add the same scans read one
// byte a call, some 150 million calls: minutes, too long to run here.)
TEST_F(Scanimage, SanesOwnBackendTesterFindsNoFault) {
  if (!QFileInfo::exists("/usr/include/sane/sane.h") ||
      QStandardPaths::findExecutable("gcc").isEmpty())
    GTEST_SKIP() << "gcc or libsane-dev is not installed (scripts/setup)";
  const std::string source = TAVRIN_SANE_TESTER_SOURCE;
  if (!QFileInfo::exists(QString::fromStdString(source + "/tstbackend.c")))
    GTEST_SKIP() << "SANE's backend tester is not beside the checkout: " << source;
  ASSERT_EQ(Wait(StartProgram("/bin/sh",
                              {"-c", "exec gcc -O1 -w -I " + Quote(source + "/include") + " " +
                                         Quote(source + "/tstbackend.c") + " -o " +
                                         Quote(Path("tstbackend").toStdString()) + " -lsane"},
                              {}, "gcc.out", "gcc.err"),
                 120000),
            0)
      << ReadText("gcc.err").toStdString();
  ASSERT_EQ(Wait(StartProgram(Path("tstbackend").toStdString(), {"-d", kDevice, "-l", "2"},
                              Environment(), "tstbackend.out", "tstbackend.err"),
                 240000),
            0)
      << ReadText("tstbackend.err").toStdString();
  const QString out = ReadText("tstbackend.out");
  EXPECT_TRUE(out.contains(QRegularExpression("^warnings: 0  error: 0  checks: [1-9]",
                                              QRegularExpression::MultilineOption)))
      << out.toStdString();
  EXPECT_TRUE(WindowGone());
}

}  // namespace
}  // namespace tavrin
