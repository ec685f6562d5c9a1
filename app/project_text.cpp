// project_text.cpp - settings and listings of projects.
#include "app/project_text.h"

#include "recipients/candidate.h"
#include "recipients/where_clause.h"

namespace tessaline {

namespace {

constexpr char kIndent[] = "    ";

String trimmed(const String& text) {
  String t = text;
  t.trim(" \t\r\n");
  return t;
}

bool read_check(const String& text, bool* on) {
  static const char* const kYes[] = {"yes", "true", "on", "1"};
  static const char* const kNo[] = {"no", "false", "off", "0"};
  String t = trimmed(text);
  for (int i = 0; i < 4; ++i) {
    if (t.equals_ignore_case(kYes[i]) || t.equals_ignore_case(kNo[i])) {
      *on = t.equals_ignore_case(kYes[i]);
      return true;
    }
  }
  return false;
}

bool read_whole_number(const String& text, int* n) {
  if (text.empty() || text.length() > 9) return false;
  *n = 0;
  for (char c : text) {
    if (!is_digit(c)) return false;
    *n = *n * 10 + (c - '0');
  }
  return true;
}

bool read_choice(const ProjectFieldInfo& field, const String& text, int* value) {
  String t = trimmed(text);
  int n = 0;
  bool number = read_whole_number(t, &n);
  for (int i = 0; i < field.choice_count; ++i) {
    const FieldChoice& choice = field.choices[i];
    if ((number && choice.value == n) || (!number && t.equals_ignore_case(choice.label))) {
      *value = choice.value;
      return true;
    }
  }
  return false;
}

String choice_list(const ProjectFieldInfo& field) {
  String list;
  for (int i = 0; i < field.choice_count; ++i) {
    if (i > 0) list += ", ";
    list.append_format("%d (%s)", field.choices[i].value, field.choices[i].label);
  }
  return list;
}

// COLUMN,OPERATOR,VALUE[,ignore]; the value may hold commas.
bool read_clause(const String& text, ClauseRow* row) {
  int first = text.find(',');
  if (first < 0) return false;
  int second = text.find(',', first + 1);
  if (second < 0) return false;
  row->column = text.substr(0, first);
  String op = text.substr(first + 1, second - first - 1);
  row->op = 0;
  for (int k = 1; k <= 6; ++k) {
    if (op == clause_operator_text(k)) row->op = k;
  }
  if (row->op == 0 || row->column.empty()) return false;
  row->value = text.substr(second + 1);
  row->ignore = row->value.ends_with(",ignore");
  if (row->ignore) row->value.remove_last(7);
  return true;
}

String clause_text(const ClauseRow& row) {
  const char* op = clause_operator_text(row.op);
  String text = row.column + "," + (op ? op : "") + "," + row.value;
  if (row.ignore) text += ",ignore";
  return text;
}

void append_value(String& listing, const char* key, const String& value) {
  listing += key;
  listing += " =";
  if (value.find_any("\r\n") < 0) {
    if (!value.empty()) listing += " " + value;
    listing += '\n';
    return;
  }
  listing += '\n';
  LineCursor lines(value);
  String line;
  while (lines.next(&line)) {
    if (!line.empty()) listing += kIndent + line;
    listing += '\n';
  }
}

}  // namespace

bool parse_setting(const String& text, Setting* setting, String* error) {
  int equals = text.find('=');
  int at = text.find('@');
  setting->from_file = at >= 0 && (equals < 0 || at < equals);
  int split = setting->from_file ? at : equals;
  if (split <= 0) {
    *error = "not a setting (KEY=VALUE, KEY@FILE or clause=...): " + text;
    return false;
  }
  setting->key = text.substr(0, split);
  setting->value = text.substr(split + 1);
  return true;
}

bool apply_setting(Project& project, const String& key, const String& value, String* error) {
  if (key == "clause") {
    ClauseRow row;
    if (!read_clause(value, &row)) {
      *error = "not a clause (COLUMN,OPERATOR,VALUE[,ignore] with one of = <> <= >= < >): " +
               value;
      return false;
    }
    project.clauses().append(row);
    return true;
  }
  const ProjectFieldInfo* field = find_project_field(key.c_str());
  if (field == nullptr || field->kind == FieldKind::kClauseTable) {
    *error = String::formatted(
        "no project field has the key \"%s\" (keys are written exactly, as --show prints them; "
        "clause rows are set with clause=)",
        key.c_str());
    return false;
  }
  switch (field->kind) {
    case FieldKind::kCheck: {
      bool on = false;
      if (!read_check(value, &on)) {
        *error = String::formatted("%s is a check box: give yes or no (or true/false, on/off, "
                                   "1/0), not \"%s\"",
                                   field->key, value.c_str());
        return false;
      }
      project.set_flag(field->key, on);
      return true;
    }
    case FieldKind::kChoice: {
      int chosen = 0;
      if (!read_choice(*field, value, &chosen)) {
        *error = String::formatted("%s is a list: give one of %s, not \"%s\"", field->key,
                                   choice_list(*field).c_str(), value.c_str());
        return false;
      }
      project.set_number(field->key, chosen);
      return true;
    }
    case FieldKind::kNumber: {
      int n = 0;
      String t = trimmed(value);
      if (!read_whole_number(t, &n)) {
        *error = String::formatted("%s is a number: give a whole number, not \"%s\"", field->key,
                                   value.c_str());
        return false;
      }
      project.set_text(field->key, t);
      return true;
    }
    case FieldKind::kText:
    case FieldKind::kClauseTable:
      break;
  }
  project.set_text(field->key, value);
  return true;
}

String project_listing(const Project& project) {
  String listing;
  for (int i = 0; i < project_field_count(); ++i) {
    const ProjectFieldInfo& field = project_field(i);
    switch (field.kind) {
      case FieldKind::kClauseTable: {
        listing += field.key;
        listing += " =\n";
        for (const ClauseRow& row : project.clauses()) {
          listing += kIndent + clause_text(row) + "\n";
        }
        break;
      }
      case FieldKind::kCheck:
        append_value(listing, field.key, project.flag(field.key) ? "yes" : "no");
        break;
      default:
        append_value(listing, field.key, project.text(field.key));
        break;
    }
  }
  return listing;
}

}  // namespace tessaline
