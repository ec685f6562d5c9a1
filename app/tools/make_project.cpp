// tessaline-make-project - writes a project file from the command line.
//
//   tessaline-make-project FILE.zqj SETTING...
//
// Each SETTING sets one project field by its exact key:
//   KEY=VALUE    the value as typed ("1"/"0" for check boxes, the number of
//                a drop-down list item: SendMode=101)
//   KEY@FILE     the value is the whole text of FILE (multi-line lists)
//   clause=COLUMN,OPERATOR,VALUE[,ignore]
//                one more row of the clause table (OPERATOR is one of
//                = <> <= >= < >)
// An existing FILE is opened and changed; otherwise a new project starts
// from the defaults. The project is saved like the program saves it. Used
// by scripts/run-example and by people who keep projects in scripts.
#include <cstdio>
#include <cstring>

#include "storage/paths.h"
#include "recipients/where_clause.h"
#include "app/application.h"
#include "app/console_ui.h"

namespace {

using namespace tessaline;

int usage() {
  std::fputs(
      "Usage: tessaline-make-project FILE.zqj SETTING...\n"
      "  KEY=VALUE       set the project field KEY (exact key) to VALUE\n"
      "  KEY@FILE        set it to the whole text of FILE\n"
      "  clause=COLUMN,OPERATOR,VALUE[,ignore]\n"
      "                  add a row to the clause table (= <> <= >= < >)\n",
      stderr);
  return 1;
}

bool add_clause(Project& project, const String& text) {
  Vector<String> parts;
  int start = 0;
  for (;;) {
    int comma = text.find(',', start);
    parts.append(text.substr(start, comma < 0 ? String::kToEnd : comma - start));
    if (comma < 0) break;
    start = comma + 1;
  }
  if (parts.count() < 3 || parts.count() > 4) return false;
  ClauseRow row;
  row.column = parts[0];
  for (int op = 1; op <= 6; ++op) {
    if (parts[1] == clause_operator_text(op)) row.op = op;
  }
  if (row.op == 0) return false;
  row.value = parts[2];
  if (parts.count() == 4) {
    if (!(parts[3] == "ignore")) return false;
    row.ignore = true;
  }
  project.clauses().append(row);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  String path(argv[1]);
  if (!is_absolute(path)) path = join_path(current_directory(), path);

  ConsoleUi ui;
  Application app(ui);
  app.set_command_line_run(true);
  bool opened = file_attributes(path) != kNoFileAttributes ? app.open_project(path)
                                                          : app.new_project();
  if (!opened) return 2;

  for (int i = 2; i < argc; ++i) {
    String setting(argv[i]);
    int equals = setting.find('=');
    int at = setting.find('@');
    bool from_file = at > 0 && (equals < 0 || at < equals);
    int split = from_file ? at : equals;
    if (split <= 0) {
      std::fprintf(stderr, "tessaline-make-project: not a setting: %s\n", argv[i]);
      return usage();
    }
    String key = setting.substr(0, split);
    String value = setting.substr(split + 1);
    if (key == "clause") {
      if (!add_clause(app.fields(), value)) {
        std::fprintf(stderr, "tessaline-make-project: not a clause: %s\n", value.c_str());
        return usage();
      }
      continue;
    }
    const ProjectFieldInfo* field = find_project_field(key.c_str());
    if (field == nullptr || field->kind == FieldKind::kClauseTable) {
      std::fprintf(stderr, "tessaline-make-project: no project field has the key \"%s\"\n",
                   key.c_str());
      return 1;
    }
    if (from_file) {
      String contents;
      if (!read_whole_file(value, contents)) {
        std::fprintf(stderr, "tessaline-make-project: cannot read %s\n", value.c_str());
        return 1;
      }
      value = contents;
    }
    app.fields().set_text(key.c_str(), value);
  }

  bool saved = app.project_file_name().empty() ? app.save_project_as(path) : app.save_project();
  app.close_project(Application::CloseMode::kDiscard);
  return saved ? 0 : 2;
}
