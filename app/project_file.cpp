#include "app/project_file.h"

#include "storage/glob_file.h"

namespace tessaline {

namespace {

void store_clauses(GlobFile& file, const Vector<ClauseRow>& rows) {
  file.begin_nested("clauses");
  for (const ClauseRow& row : rows) {
    file.begin_element();
    file.write_unless_default("column", row.column);
    file.write_unless_default("operator", static_cast<int32_t>(row.op));
    file.write_unless_default("value", row.value);
    file.write_unless_default("ignore", static_cast<int8_t>(row.ignore ? 1 : 0));
    file.end_element();
  }
  file.end_nested();
}

void load_clauses(GlobFile& file, Vector<ClauseRow>& rows) {
  rows.clear();
  if (!file.begin_array("clauses")) return;
  do {
    Var column, op, value, ignore;
    column.set_string();
    op.set_int32(0);
    value.set_string();
    ignore.set_int8(0);
    file.transfer("column", column);
    file.transfer("operator", op);
    file.transfer("value", value);
    file.transfer("ignore", ignore);
    ClauseRow& row = rows.append();
    row.column = column.as_text();
    row.op = op.as_int();
    row.value = value.as_text();
    row.ignore = ignore.as_int() != 0;
  } while (file.next_element());
  file.end_array();
}

}  // namespace

void transfer_project(GlobFile& file, Project& project) {
  for (int i = 0; i < project_field_count(); ++i) {
    const ProjectFieldInfo& field = project_field(i);
    if (field.kind == FieldKind::kClauseTable) continue;
    file.transfer(field.key, project.value(field.key));
  }
  if (file.storing()) {
    store_clauses(file, project.clauses());
  } else {
    load_clauses(file, project.clauses());
    project.normalize();
  }
}

bool build_project_file(Project& project, String& bytes, String& error) {
  GlobFile file;
  bool built = file.create_in_memory("project");
  if (built) {
    file.begin_record(0);
    transfer_project(file, project);
    built = file.end_record();
  }
  if (built) {
    bytes = file.heap().memory_image();
  } else {
    error = file.heap().last_error();
  }
  file.close();
  return built;
}

int read_project_file(const String& path, Project& project) {
  GlobFile file;
  int code = file.open(path, true);
  if (code != GlobFile::kOpened) return code;
  file.set_storing(false);
  if (file.load_record(0)) transfer_project(file, project);
  file.close();
  return code;
}

}  // namespace tessaline
