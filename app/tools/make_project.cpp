// tessaline-make-project - writes, changes and shows project files from the
// command line, for people and for scripts.
//
//   tessaline-make-project PROJECT SETTING...        make or change PROJECT
//   tessaline-make-project --set SETTING... PROJECT  change an existing one
//   tessaline-make-project --show PROJECT            print every field
//
// The settings and the listing are app/project_text.h's. Every setting is
// checked before the project is touched, so a mistake changes nothing; the
// project is saved as the program saves it (built whole, then put in
// place atomically). Exit status: 0 done, 1 a mistake on the command line,
// 2 the project could not be opened or saved.
#include <cstdio>
#include <vector>

#include "storage/paths.h"
#include "app/application.h"
#include "app/console_ui.h"
#include "app/project_text.h"
#include "app/usage.h"

namespace {

using namespace tessaline;

constexpr char kName[] = "tessaline-make-project";

const char kUsage[] =
    "Usage: tessaline-make-project PROJECT SETTING...\n"
    "       tessaline-make-project --set SETTING [--set SETTING]... PROJECT\n"
    "       tessaline-make-project --show PROJECT\n"
    "\n"
    "Makes, changes and shows Tessaline Mailer project files (.zqj).\n"
    "\n"
    "  PROJECT SETTING...  set fields of PROJECT; a PROJECT that does not exist\n"
    "                      yet starts as a new project with every default\n"
    "  --set SETTING       change a field of PROJECT, which must exist\n"
    "  --show              print every field of PROJECT as \"key = value\", in\n"
    "                      folder order; values of several lines and the clause\n"
    "                      rows follow on lines indented by four blanks\n"
    "  -h, --help          show this text and end\n"
    "  --version           show the version and end\n"
    "  --                  what follows is not an option (a PROJECT named -x.zqj)\n"
    "\n"
    "Settings (KEY is a project field's exact key, as --show prints it):\n"
    "  KEY=VALUE           texts as typed; check boxes yes or no (also true/false,\n"
    "                      on/off, 1/0); lists the number or the name of an item\n"
    "                      (SendMode=101, \"SendMode=No Preview\"); numbers whole\n"
    "  KEY@FILE            the whole text of FILE (for lists of several lines)\n"
    "  clause=COLUMN,OPERATOR,VALUE[,ignore]\n"
    "                      add a row to the clause table; OPERATOR is one of\n"
    "                      = <> <= >= < >\n"
    "\n"
    "A relative file name in a project (bodies, recipient and exclusion files,\n"
    "attachments) is taken from the project file's folder when it is sent.\n"
    "\n"
    "Exit status: 0 done, 1 a mistake on the command line (nothing is changed),\n"
    "2 the project could not be opened or saved.\n";

int mistake(const String& message) {
  std::fprintf(stderr, "%s: %s\n", kName, message.c_str());
  std::fprintf(stderr, "Try '%s --help' for more information.\n", kName);
  return 1;
}

struct Request {
  bool show = false;
  bool must_exist = false;  // a --set was given
  String project;
  std::vector<String> settings;
};

// 0 to go on; otherwise the exit status.
int parse_arguments(int argc, char** argv, Request* request, bool* done) {
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    String arg(argv[i]);
    if (options && arg == "--") {
      options = false;
    } else if (options && (arg == "-h" || arg == "--help")) {
      std::fputs(kUsage, stdout);
      *done = true;
      return 0;
    } else if (options && arg == "--version") {
      std::printf("%s (%s)\n", kName, version_text());
      *done = true;
      return 0;
    } else if (options && arg == "--show") {
      request->show = true;
    } else if (options && (arg == "--set" || arg.starts_with("--set="))) {
      if (arg == "--set") {
        if (++i >= argc) return mistake("--set needs a setting (KEY=VALUE)");
        arg = argv[i];
      } else {
        arg.remove_first(6);
      }
      request->must_exist = true;
      request->settings.push_back(arg);
    } else if (options && arg.length() > 1 && arg.first() == '-') {
      return mistake("unknown option: " + arg);
    } else if (request->project.empty()) {
      request->project = arg;
    } else {
      request->settings.push_back(arg);
    }
  }
  if (request->project.empty()) return mistake("no project file was given");
  if (request->show && !request->settings.empty()) {
    return mistake("--show prints a project; it takes no settings");
  }
  if (!request->show && request->settings.empty()) {
    return mistake("nothing to set: give at least one SETTING, or --show");
  }
  return 0;
}

// Reads each setting's value (KEY@FILE) and applies it to `project`;
// 0, or the exit status of the first mistake.
int apply_all(const std::vector<String>& settings, Project& project) {
  for (const String& text : settings) {
    Setting setting;
    String error;
    if (!parse_setting(text, &setting, &error)) return mistake(error);
    String value = setting.value;
    if (setting.from_file && !read_whole_file(setting.value, value)) {
      return mistake("cannot read " + setting.value);
    }
    if (!apply_setting(project, setting.key, value, &error)) return mistake(error);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Request request;
  bool done = false;
  if (int status = parse_arguments(argc, argv, &request, &done); status != 0 || done) {
    return status;
  }
  String path = request.project;
  if (!is_absolute(path)) path = join_path(current_directory(), path);
  bool exists = file_attributes(path) != kNoFileAttributes;

  // Every setting is tried on a scratch project first: a mistake in the
  // last one leaves the file as it was.
  Project scratch;
  if (int status = apply_all(request.settings, scratch); status != 0) return status;
  if ((request.show || request.must_exist) && !exists) {
    std::fprintf(stderr, "%s: no such project file: %s\n", kName, path.c_str());
    return kExitProject;
  }

  ConsoleUi ui;
  Application app(ui);
  app.set_command_line_run(true);
  if (!(exists ? app.open_project(path) : app.new_project())) return kExitProject;
  if (request.show) {
    String listing = project_listing(app.fields());
    std::fwrite(listing.c_str(), 1, static_cast<size_t>(listing.length()), stdout);
    app.close_project(Application::CloseMode::kDiscard);
    return std::fflush(stdout) == 0 ? 0 : kExitProject;
  }
  apply_all(request.settings, app.fields());
  bool saved = app.project_file_name().empty() ? app.save_project_as(path) : app.save_project();
  app.close_project(Application::CloseMode::kDiscard);
  return saved ? 0 : kExitProject;
}
