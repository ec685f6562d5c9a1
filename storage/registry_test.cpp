#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

#include "core/date.h"
#include "core/string.h"
#include "core/var.h"
#include "storage/field_store.h"
#include "storage/reg_file.h"
#include "storage/registry.h"

namespace tessaline {
namespace registry {
namespace {

std::string read_all(const String& path) {
  std::string text;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "<missing>";
  char buffer[512];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  fclose(f);
  return text;
}

void write_all(const String& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

// Each test gets its own TESSALINE_HOME, so its own registry file.
class Registry : public testing::Test {
 protected:
  void SetUp() override {
    char base_template[] = "/tmp/registry_test.XXXXXX";
    ASSERT_NE(mkdtemp(base_template), nullptr);
    home_ = base_template;
    setenv("TESSALINE_HOME", home_.c_str(), 1);
    file_ = registry_file_path();
  }
  void TearDown() override {
    while (key_is_open()) close_key();
    unsetenv("TESSALINE_HOME");
    std::system(("rm -rf " + home_).c_str());
  }
  std::string home_;
  String file_;
};

TEST_F(Registry, EveryValueKindRoundTripsWithItsType) {
  ASSERT_EQ(open_software_key("Tessaline\\Tessaline Mailer"), kCreated);
  EXPECT_EQ(current_key_path().std_string(),
            "HKEY_CURRENT_USER\\Software\\Tessaline\\Tessaline Mailer");
  EXPECT_TRUE(set_string("Text", "last char!"));
  EXPECT_TRUE(set_int("Number", -7));
  EXPECT_TRUE(set_bool("Flag", true));
  EXPECT_TRUE(set_double("Half", 2.5));
  EXPECT_TRUE(set_double("Three", 3.0));
  EXPECT_TRUE(set_double("Pi", 3.14159, 2));
  EXPECT_TRUE(set_point("Point", -3, 4));
  EXPECT_TRUE(set_rect("Rect", Rect{1, 2, 300, 400}));
  EXPECT_TRUE(set_binary("Bytes", String("\0\1", 2)));
  close_key();
  EXPECT_EQ(read_all(file_),
            "REGEDIT4\n\n"
            "[HKEY_CURRENT_USER\\Software\\Tessaline\\Tessaline Mailer]\n"
            "\"Text\"=\"last char!\"\n"
            "\"Number\"=dword:fffffff9\n"
            "\"Flag\"=dword:00000001\n"
            "\"Half\"=\"2.5\"\n"
            "\"Three\"=\"3\"\n"
            "\"Pi\"=\"3.14\"\n"
            "\"Point\"=\"-3,4\"\n"
            "\"Rect\"=\"1,2,300,400\"\n"
            "\"Bytes\"=hex:00,01\n");

  ASSERT_EQ(open_software_key("Tessaline\\Tessaline Mailer", true, kOpenOnly), kOpenedExisting);
  EXPECT_EQ(get_string("Text", "").std_string(), "last char!");
  EXPECT_EQ(get_int("Number", 0), -7);
  EXPECT_TRUE(get_bool("Flag", false));
  EXPECT_EQ(get_double("Half", 0), 2.5);
  EXPECT_EQ(get_double("Three", 0), 3.0);
  EXPECT_EQ(get_int("Half", 0), 2);  // a text read as a number: its leading integer
  EXPECT_EQ(get_string("Number", "").std_string(), "-7");
  Point p = get_point("Point", 0, 0);
  EXPECT_EQ(p.x, -3);
  EXPECT_EQ(p.y, 4);
  EXPECT_EQ(get_rect("Rect"), (Rect{1, 2, 300, 400}));
  String bytes;
  EXPECT_TRUE(get_string("Bytes", bytes));
  EXPECT_TRUE(bytes == String("\0\1", 2));
}

TEST_F(Registry, VarValuesKeepTheirRegistryTypes) {
  Date day;
  ASSERT_TRUE(read_date("12/31/1999", &day).has_value());
  Var small;
  small.set_uint8(200);
  const struct {
    const char* name;
    Var value;
    const char* line;  // as written to the file
    VarType read_type;
  } cases[] = {
      {"Bool", Var::of_bool(true), "\"Bool\"=dword:00000001", kTypeInt32},
      {"Int", Var::of_int(-7), "\"Int\"=dword:fffffff9", kTypeInt32},
      {"Byte", small, "\"Byte\"=dword:000000c8", kTypeInt32},
      {"Double", Var::of_double(2.5), "\"Double\"=\"2.5\"", kTypeText},
      {"Text", Var::of_text("abc"), "\"Text\"=\"abc\"", kTypeText},
      {"Bytes", Var::of_string(String("a\0b", 3)), "\"Bytes\"=hex:61,00,62", kTypeString},
      {"Date", Var::of_date(day), nullptr, kTypeText},
  };
  ASSERT_NE(open_software_key("Tessaline\\Tessaline Mailer"), kOpenFailed);
  for (const auto& c : cases) EXPECT_TRUE(set_value(c.name, c.value)) << c.name;
  close_key();
  const std::string file = read_all(file_);
  ASSERT_NE(open_software_key("Tessaline\\Tessaline Mailer"), kOpenFailed);
  for (const auto& c : cases) {
    if (c.line) {
      EXPECT_NE(file.find(std::string(c.line) + "\n"), std::string::npos) << c.line;
    }
    Var read;
    ASSERT_TRUE(read_value(c.name, read)) << c.name;
    EXPECT_EQ(read.type(), c.read_type) << c.name;
    EXPECT_TRUE(read == c.value) << c.name;  // the same text form
  }
  // An empty Var deletes; with kDeleteEmpty so do zero and empty text.
  EXPECT_TRUE(set_value("Int", Var()));
  EXPECT_TRUE(set_value("Bool", Var::of_int(0), kDeleteEmpty));
  EXPECT_TRUE(set_value("Text", Var::of_text(""), kDeleteEmpty));
  EXPECT_TRUE(set_value("Absent", Var::of_int(0), kDeleteEmpty));
  for (const char* gone : {"Int", "Bool", "Text", "Absent"}) EXPECT_FALSE(value_exists(gone)) << gone;
  Var untouched = Var::of_int(5);
  EXPECT_FALSE(read_value("Int", untouched));
  EXPECT_EQ(untouched.as_int(), 5);
}

TEST_F(Registry, TheFieldStoreSavesAndRestoresAWindowsFields) {
  auto describe = [](FieldStore& store, Var& width, Var& title) {
    store.transfer("Width", width);
    store.transfer("Title", title);
    EXPECT_FALSE(store.begin_array("Rows"));  // no arrays here
    store.end_array();
  };
  ASSERT_NE(open_software_key("Tessaline\\Loomwork\\Standard Dialogs\\Find"), kOpenFailed);
  {
    RegistryFieldStore store(true);
    Var width = Var::of_int(640), title = Var::of_text("Find");
    describe(store, width, title);
  }
  RegistryFieldStore store(false);
  Var width = Var::of_int(1), title;
  describe(store, width, title);
  EXPECT_EQ(width.as_int(), 640);
  EXPECT_EQ(title.as_text().std_string(), "Find");
}

TEST_F(Registry, AbsentOrUnreadableValuesGiveTheDefaults) {
  ASSERT_EQ(open_software_key("Tessaline\\Tessaline Mailer"), kCreated);
  set_string("Bad", "not a number");
  EXPECT_EQ(get_string("Absent", "dflt").std_string(), "dflt");
  EXPECT_EQ(get_int("Absent", 42), 42);
  EXPECT_EQ(get_double("Absent", 1.5), 1.5);
  EXPECT_EQ(get_rect("Absent"), kEmptyRect);
  EXPECT_EQ(kEmptyRect, (Rect{0x7fffffff, 0x7fffffff, static_cast<int>(0x80000000u),
                              static_cast<int>(0x80000000u)}));
  EXPECT_EQ(get_rect("Bad"), kEmptyRect);
  Point p = get_point("Bad", 5, 6);
  EXPECT_EQ(p.x, 5);
  EXPECT_EQ(p.y, 6);
  close_key();
  // With no key open, nothing is read or written.
  EXPECT_EQ(get_int("Bad", 9), 9);
  EXPECT_FALSE(set_int("Bad", 1));
}

TEST_F(Registry, DeleteEmptyFlagDeletesInsteadOfWriting) {
  ASSERT_NE(open_software_key("Tessaline\\Tessaline Mailer"), kOpenFailed);
  const struct {
    const char* what;
    bool (*write_empty)();
  } cases[] = {
      {"empty text", [] { return set_string("V", "", kDeleteEmpty); }},
      {"zero", [] { return set_int("V", 0, kDeleteEmpty); }},
      {"zero number", [] { return set_double("V", 0.0, -1, kDeleteEmpty); }},
      {"no bytes", [] { return set_binary("V", String(), kDeleteEmpty); }},
  };
  EXPECT_TRUE(set_int("Never", 0, kDeleteEmpty));  // nothing to delete is no failure
  EXPECT_FALSE(value_exists("Never"));
  for (const auto& c : cases) {
    ASSERT_TRUE(set_string("V", "something"));
    EXPECT_TRUE(c.write_empty()) << c.what;
    EXPECT_FALSE(value_exists("V")) << c.what;
  }
  // Without the flag, the empty value is written.
  EXPECT_TRUE(set_string("V", ""));
  EXPECT_TRUE(value_exists("V"));
}

TEST_F(Registry, NestedKeysReturnToTheOuterKeyEachTime) {
  ASSERT_EQ(open_key(Root::kCurrentUser, "Software\\Tessaline"), kCreated);
  set_int("Level", 1);
  ASSERT_EQ(open_subkey("Loomwork"), kCreated);
  set_int("Level", 2);
  ASSERT_EQ(open_subkey("Standard Dialogs\\Configuration Editor"), kCreated);
  EXPECT_EQ(current_key_path().std_string(),
            "HKEY_CURRENT_USER\\Software\\Tessaline\\Loomwork\\Standard Dialogs\\Configuration "
            "Editor");
  set_int("Level", 3);
  EXPECT_EQ(get_int("Level", 0), 3);
  close_key();
  EXPECT_EQ(get_int("Level", 0), 2);
  close_key();
  EXPECT_EQ(get_int("Level", 0), 1);
  EXPECT_EQ(current_key_path().std_string(), "HKEY_CURRENT_USER\\Software\\Tessaline");
  close_key();
  EXPECT_FALSE(key_is_open());
  // Open-only finds keys that exist, parents included, and creates nothing.
  EXPECT_EQ(open_software_key("Tessaline\\Loomwork", true, kOpenOnly), kOpenedExisting);
  close_key();
  EXPECT_EQ(open_software_key("Tessaline\\Missing", true, kOpenOnly), kOpenFailed);
  EXPECT_FALSE(key_is_open());
  EXPECT_EQ(open_software_key("Tessaline", false), kCreated);  // the machine's key is separate
  EXPECT_EQ(current_key_path().std_string(), "HKEY_LOCAL_MACHINE\\Software\\Tessaline");
}

TEST_F(Registry, AMissingRequiredValueEndsTheProgramWithAnExplanation) {
  ASSERT_NE(open_software_key("Tessaline\\Tessaline Mailer"), kOpenFailed);
  EXPECT_EXIT(get_int("Serial", 0, kRequired), testing::ExitedWithCode(1),
              "The following registry key is required by Tessaline Mailer, but is invalid or "
              "does not exist:\n\nHKEY_CURRENT_USER\\\\Software\\\\Tessaline\\\\Tessaline "
              "Mailer\\\\Serial\n\nIf you have tried moving this program");
}

TEST_F(Registry, WindowPlacementKeepsTheStateAndTheNormalRectangle) {
  const struct {
    WindowState state;
    const char* text;
  } cases[] = {
      {WindowState::kMaximized, "max 10,20,630,470"},
      {WindowState::kMinimized, "min 10,20,630,470"},
      {WindowState::kNormal, "10,20,630,470"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(save_window_placement("Tessaline\\Tessaline Mailer", "PreviewPosition",
                                      Rect{10, 20, 630, 470}, c.state));
    EXPECT_FALSE(key_is_open());
    open_software_key("Tessaline\\Tessaline Mailer");
    EXPECT_EQ(get_string("PreviewPosition", "").std_string(), c.text);
    close_key();
    Rect r;
    WindowState s = WindowState::kNormal;
    ASSERT_TRUE(load_window_placement("Tessaline\\Tessaline Mailer", "PreviewPosition", r, s));
    EXPECT_EQ(r, (Rect{10, 20, 630, 470}));
    EXPECT_EQ(s, c.state);
  }
  Rect r;
  WindowState s;
  EXPECT_FALSE(load_window_placement("Tessaline\\Tessaline Mailer", nullptr, r, s));
  EXPECT_TRUE(parse_placement("max -5,-6,7,8", r, s));
  EXPECT_EQ(r, (Rect{-5, -6, 7, 8}));
  EXPECT_FALSE(parse_placement("max 1,2 3,4", r, s));
}

TEST_F(Registry, HandEditsBetweenOpensAreSeen) {
  write_all(file_,
            "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Tessaline\\Tessaline Mailer]\r\n"
            "; keep me\r\n\"PreviewSplitter\" = dword:c8\r\n");
  ASSERT_EQ(open_software_key("Tessaline\\Tessaline Mailer", true, kOpenOnly), kOpenedExisting);
  EXPECT_EQ(get_int("PreviewSplitter", 0), 200);
  EXPECT_TRUE(set_int("PreviewSplitter", 201));
  close_key();
  EXPECT_EQ(read_all(file_),
            "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tessaline\\Tessaline Mailer]\n"
            "; keep me\n\"PreviewSplitter\"=dword:000000c9\n");
}

TEST_F(Registry, AFileThatCannotBeReadIsNeverOverwritten) {
  // A folder where the file should be cannot be read as the registry.
  ASSERT_EQ(mkdir(file_.c_str(), 0700), 0);
  EXPECT_EQ(open_software_key("Tessaline\\Tessaline Mailer"), kOpenFailed);
  struct stat info;
  ASSERT_EQ(stat(file_.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
}

}  // namespace
}  // namespace registry
}  // namespace tessaline
