#include <cstdlib>
#include <optional>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/string.h"
#include "platform/user_folders.h"

namespace tessaline {
namespace {

// Sets the variables the folders depend on for one test and restores them.
class Environment {
 public:
  Environment() {
    for (const char* name : kNames) {
      const char* value = std::getenv(name);
      saved_.push_back(value ? std::optional<std::string>(value) : std::nullopt);
      unsetenv(name);
    }
  }
  ~Environment() {
    for (size_t i = 0; i < std::size(kNames); ++i) {
      if (saved_[i]) setenv(kNames[i], saved_[i]->c_str(), 1);
      else unsetenv(kNames[i]);
    }
  }
  void set(const char* name, const char* value) {
    if (value) setenv(name, value, 1);
  }

 private:
  static constexpr const char* kNames[] = {"TESSALINE_HOME", "HOME", "XDG_CONFIG_HOME",
                                           "XDG_STATE_HOME", "XDG_RUNTIME_DIR", "TMPDIR"};
  std::vector<std::optional<std::string>> saved_;
};

struct FolderCase {
  const char* what;
  const char* tessaline_home;
  const char* xdg;  // the XDG variable of the folder under test
  UserFolder folder;
  std::string expected;  // "UID" stands for the user id
};

TEST(UserFolders, FollowTheXdgRulesUnlessTessalineHomeIsSet) {
  const std::string uid = std::to_string(getuid());
  const FolderCase cases[] = {
      {"configuration default", nullptr, nullptr, UserFolder::kConfiguration,
       "/home/u/.config/tessaline-mailer"},
      {"configuration from XDG", nullptr, "/x/conf/", UserFolder::kConfiguration,
       "/x/conf/tessaline-mailer"},
      {"relative XDG ignored", nullptr, "rel/conf", UserFolder::kConfiguration,
       "/home/u/.config/tessaline-mailer"},
      {"state default", nullptr, nullptr, UserFolder::kState,
       "/home/u/.local/state/tessaline-mailer"},
      {"state from XDG", nullptr, "/x/state", UserFolder::kState, "/x/state/tessaline-mailer"},
      {"runtime from XDG", nullptr, "/run/user/9", UserFolder::kRuntime,
       "/run/user/9/tessaline-mailer"},
      {"runtime without XDG", nullptr, nullptr, UserFolder::kRuntime,
       "/scratch/tessaline-mailer-" + uid},
      {"home override wins", "/t/home/", "/x/conf", UserFolder::kConfiguration, "/t/home"},
      {"home override for state", "/t/home", nullptr, UserFolder::kState, "/t/home"},
      {"home override for runtime", "/t/home", "/run/user/9", UserFolder::kRuntime, "/t/home"},
  };
  const char* xdg_names[] = {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"};
  for (const FolderCase& c : cases) {
    Environment env;
    env.set("HOME", "/home/u");
    env.set("TMPDIR", "/scratch/");
    env.set("TESSALINE_HOME", c.tessaline_home);
    env.set(xdg_names[static_cast<int>(c.folder)], c.xdg);
    EXPECT_EQ(user_folder(c.folder).std_string(), c.expected) << c.what;
  }
}

TEST(UserFolders, MakeUserFolderCreatesMissingParentsPrivately) {
  Environment env;
  char base_template[] = "/tmp/user_folders_test.XXXXXX";
  ASSERT_NE(mkdtemp(base_template), nullptr);
  std::string base = base_template;
  env.set("HOME", base.c_str());
  String path, error;
  ASSERT_TRUE(user_file_path(UserFolder::kState, "Trenk.LOG", path, error)) << error.c_str();
  EXPECT_EQ(path.std_string(), base + "/.local/state/tessaline-mailer/Trenk.LOG");
  struct stat info;
  ASSERT_EQ(stat((base + "/.local/state/tessaline-mailer").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  // A plain file where the folder should be is reported, not used.
  std::string blocked = base + "/blocked";
  FILE* f = fopen(blocked.c_str(), "w");
  fclose(f);
  env.set("TESSALINE_HOME", blocked.c_str());
  EXPECT_FALSE(make_user_folder(UserFolder::kConfiguration, path, error));
  EXPECT_FALSE(error.empty());
  std::system(("rm -rf " + base).c_str());
}

}  // namespace
}  // namespace tessaline
