// `cmake --install` of this build, staged into a temporary DESTDIR the way a
// package is made, and each installed file checked by the tools a desktop
// reads it with: desktop-file-validate, update-mime-database, xmllint,
// rsvg-convert and groff.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <regex>
#include <set>
#include <string>

#include "storage/test_directory.h"
#include "app/help.h"
#include "app/usage.h"
#include "tests/program_run.h"

namespace tessaline {
namespace {

const char* const kPrefix = "/usr";

ProgramResult run_tool(const char* tool, std::vector<String> args, String directory = String()) {
  ProgramRun run;
  run.program = tool;
  run.args = std::move(args);
  run.directory = std::move(directory);
  run.time_limit_seconds = 60;
  return run_program(run);
}

class Install : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    stage_ = new TestDirectory;
    ProgramRun run;
    run.program = TESSALINE_CMAKE;
    run.args = {"--install", TESSALINE_BINARY_DIR, "--prefix", kPrefix};
    run.environment = {{"DESTDIR", stage_->path()}};
    install_ = new ProgramResult(run_program(run));
  }
  static void TearDownTestSuite() {
    delete install_;
    delete stage_;
  }
  void SetUp() override {
    ASSERT_EQ(install_->status, 0) << install_->out.c_str() << install_->err.c_str();
  }

  // The staged path of a file installed under the prefix.
  static String staged(const char* relative) {
    return stage_->path() + kPrefix + "/" + relative;
  }
  static String contents(const char* relative) { return TestDirectory::read(staged(relative)); }

  static TestDirectory* stage_;
  static ProgramResult* install_;
};

TestDirectory* Install::stage_ = nullptr;
ProgramResult* Install::install_ = nullptr;

TEST_F(Install, PutsEveryFileInItsStandardPlace) {
  struct Expected {
    const char* path;
    bool executable;
  };
  const Expected files[] = {
      {"bin/tessaline-mailer", true},
      {"bin/tessaline-make-project", true},
      {"share/applications/tessaline-mailer.desktop", false},
      {"share/icons/hicolor/scalable/apps/tessaline-mailer.svg", false},
      {"share/mime/packages/tessaline-mailer.xml", false},
      {"share/doc/tessaline-mailer/manual.html", false},
      {"share/man/man1/tessaline-mailer.1", false},
      {"share/man/man1/tessaline-make-project.1", false},
  };
  for (const Expected& file : files) {
    struct stat info {};
    ASSERT_EQ(stat(staged(file.path).c_str(), &info), 0) << file.path << " is not installed";
    EXPECT_TRUE(S_ISREG(info.st_mode)) << file.path;
    EXPECT_GT(info.st_size, 0) << file.path;
    EXPECT_EQ((info.st_mode & S_IXUSR) != 0, file.executable) << file.path;
  }
  // Staged for a package: nothing is written outside DESTDIR, so no cache
  // was built inside it either.
  EXPECT_NE(access(staged("share/mime/mime.cache").c_str(), F_OK), 0);
}

TEST_F(Install, InstalledProgramRunsAndFindsItsInstalledManual) {
  ProgramRun run;
  String program = staged("bin/tessaline-mailer");
  run.program = program.c_str();
  run.args = {"--version"};
  ProgramResult r = run_program(run);
  EXPECT_EQ(r.status, 0) << r.err.c_str();
  EXPECT_EQ(r.out, "Tessaline Mailer 6.0\n");

  // The help of the installed program opens the installed page, not the
  // build tree's.
  String manual = find_manual(program);
  ASSERT_FALSE(manual.empty());
  String installed = staged("share/doc/tessaline-mailer/manual.html");
  char a[PATH_MAX], b[PATH_MAX];
  ASSERT_NE(realpath(manual.c_str(), a), nullptr);
  ASSERT_NE(realpath(installed.c_str(), b), nullptr);
  EXPECT_STREQ(a, b);
}

TEST_F(Install, DesktopEntryIsValidAndOpensProjectFilesWithTheInstalledProgram) {
  String entry = staged("share/applications/tessaline-mailer.desktop");
  ProgramResult check = run_tool("/usr/bin/desktop-file-validate", {entry});
  EXPECT_EQ(check.status, 0);
  EXPECT_EQ(check.out + check.err, "") << "desktop-file-validate has remarks";

  String text = contents("share/applications/tessaline-mailer.desktop");
  EXPECT_TRUE(text.contains("\nExec=/usr/bin/tessaline-mailer %f\n")) << text.c_str();
  EXPECT_TRUE(text.contains("\nIcon=tessaline-mailer\n"));
  // The entry declares the very type that the MIME package defines.
  std::smatch type;
  std::string mime = contents("share/mime/packages/tessaline-mailer.xml").std_string();
  ASSERT_TRUE(std::regex_search(mime, type, std::regex("mime-type type=\"([^\"]+)\"")));
  EXPECT_TRUE(text.contains(("\nMimeType=" + type[1].str() + ";\n").c_str())) << text.c_str();
}

TEST_F(Install, MimePackageMakesZqjFilesOfAnyCaseProjects) {
  EXPECT_EQ(run_tool("/usr/bin/xmllint", {"--noout", staged("share/mime/packages/tessaline-mailer.xml")})
                .status,
            0);
  // update-mime-database is what a system runs on the package: it refuses
  // what the format does not allow and writes the globs it will match by.
  ProgramResult update = run_tool("/usr/bin/update-mime-database", {staged("share/mime")});
  ASSERT_EQ(update.status, 0) << update.err.c_str();
  String globs = contents("share/mime/globs2");
  // No ":cs" flag: the glob matches without regard to case (NEWS.ZQJ).
  EXPECT_TRUE(globs.contains("\n50:application/x-tessaline-project:*.zqj\n")) << globs.c_str();
  EXPECT_FALSE(globs.contains(":cs")) << globs.c_str();
}

TEST_F(Install, IconIsAnSvgThatRenders) {
  String icon = staged("share/icons/hicolor/scalable/apps/tessaline-mailer.svg");
  EXPECT_EQ(run_tool("/usr/bin/xmllint", {"--noout", icon}).status, 0);
  TestDirectory out;
  ProgramResult render =
      run_tool("/usr/bin/rsvg-convert", {"-w", "48", "-h", "48", "-o", out / "icon.png", icon});
  ASSERT_EQ(render.status, 0) << render.err.c_str();
  EXPECT_TRUE(out.get("icon.png").starts_with("\x89PNG"));
}

TEST_F(Install, ManualPagesFormatWithoutWarnings) {
  for (const char* page :
       {"share/man/man1/tessaline-mailer.1", "share/man/man1/tessaline-make-project.1"}) {
    ProgramResult r = run_tool("/usr/bin/groff", {"-man", "-Tutf8", "-ww", "-z", staged(page)});
    EXPECT_EQ(r.status, 0) << page;
    EXPECT_EQ(r.err, "") << page;
  }
}

TEST_F(Install, ManualPageDescribesEverySwitchOfTheHelpText) {
  ProgramResult page = run_tool(
      "/usr/bin/groff", {"-man", "-Tascii", "-P", "-cbou", staged("share/man/man1/tessaline-mailer.1")});
  ASSERT_EQ(page.status, 0) << page.err.c_str();
  std::string usage = usage_text();
  std::set<std::string> switches;
  // A switch opens a line of the list ("  -a ADDRESS, --add-recipient...")
  // or follows a comma there.
  std::regex option("(?:\n  |, )(--?[A-Za-z][A-Za-z-]*)");
  for (std::sregex_iterator it(usage.begin(), usage.end(), option), end; it != end; ++it) {
    switches.insert((*it)[1].str());
  }
  ASSERT_GE(switches.size(), 8u);  // -a -e -o -s -h and their long forms
  for (const std::string& name : switches) {
    std::regex described("(^|[^A-Za-z-])" + name + "([^A-Za-z-]|$)");
    EXPECT_TRUE(std::regex_search(page.out.std_string(), described))
        << name << " is in --help but not in docs/tessaline-mailer.1";
  }
}

// The entry's Exec key for programs installed under unusual prefixes, as
// cmake/desktop_entry.cmake writes it, read back by desktop-file-validate.
TEST(DesktopExec, UnusualInstallPathsAreQuotedAsTheEntryFormatAsks) {
  struct Case {
    const char* program;
    const char* exec;
  };
  const Case cases[] = {
      {"/usr/local/bin/tessaline-mailer", "/usr/local/bin/tessaline-mailer"},
      {"/opt/My Apps/bin/tessaline-mailer", "\"/opt/My Apps/bin/tessaline-mailer\""},
      {"/opt/a$b`c\"d/tessaline-mailer", "\"/opt/a\\\\$b\\\\`c\\\\\"d/tessaline-mailer\""},
      {"/opt/back\\slash/100%/tessaline-mailer",
       "\"/opt/back\\\\\\\\slash/100%%/tessaline-mailer\""},
  };
  TestDirectory folder;
  for (const Case& c : cases) {
    String script = "include(" TESSALINE_SOURCE_DIR "/cmake/desktop_entry.cmake)\n"
                    "tessaline_desktop_exec(exec [==[" + String(c.program) + "]==])\n"
                    "file(WRITE [==[" + (folder / "exec") + "]==] \"${exec}\")\n";
    ASSERT_TRUE(folder.put("exec.cmake", script));
    ProgramResult r = run_tool(TESSALINE_CMAKE, {"-P", folder / "exec.cmake"});
    ASSERT_EQ(r.status, 0) << r.err.c_str();
    String exec = folder.get("exec");
    EXPECT_EQ(exec, c.exec) << c.program;

    ASSERT_TRUE(folder.put("t.desktop", "[Desktop Entry]\nType=Application\nName=T\nExec=" +
                                            exec + " %f\nMimeType=application/x-t;\n"));
    ProgramResult check = run_tool("/usr/bin/desktop-file-validate", {folder / "t.desktop"});
    EXPECT_EQ(check.status, 0) << c.program << ": " << check.out.c_str();
    EXPECT_EQ(check.out + check.err, "") << c.program;
  }
}

}  // namespace
}  // namespace tessaline
