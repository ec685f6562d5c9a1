// test_project.h - a project held in memory, for the tests of recipients/
// and send/ (test code only).
//
// Fields are kept by exact key: texts and numbers as text (a number field
// reads back as a number when its text is a whole number), check boxes as
// flags. New projects carry the defaults of a new project. The two focus
// places of ProjectValues are recorded.
#pragma once

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "recipients/project_values.h"

namespace tessaline::testing {

class MemoryProject : public ProjectValues {
 public:
  MemoryProject() {
    texts_[kFieldEncoding] = "1";
    texts_[kFieldLineLength] = "75";
    texts_[kFieldSendMode] = "100";
    texts_[kFieldSmtpPort] = "25";
  }

  bool open = true;
  std::vector<ClauseRow> clauses;
  std::vector<std::string> folders_shown;
  struct Cell {
    int row;
    std::string cell;
  };
  std::vector<Cell> cells_focused;

  MemoryProject& set(const char* key, const String& value) {
    texts_[key] = value.std_string();
    return *this;
  }
  MemoryProject& check(const char* key, bool on = true) {
    flags_[key] = on;
    return *this;
  }

  bool is_open() const override { return open; }
  String text(const char* key) const override {
    auto it = texts_.find(key);
    return it == texts_.end() ? String() : String(it->second.c_str());
  }
  bool flag(const char* key) const override {
    auto it = flags_.find(key);
    return it != flags_.end() && it->second;
  }
  bool number(const char* key, int* value) const override {
    auto it = texts_.find(key);
    if (it == texts_.end() || it->second.empty()) return false;
    char* end = nullptr;
    long n = std::strtol(it->second.c_str(), &end, 10);
    if (*end != '\0') return false;
    *value = static_cast<int>(n);
    return true;
  }
  void set_text(const char* key, const String& value) override { set(key, value); }
  void set_flag(const char* key, bool value) override { flags_[key] = value; }
  void set_number(const char* key, int value) override { texts_[key] = std::to_string(value); }
  int clause_count() const override { return static_cast<int>(clauses.size()); }
  ClauseRow clause(int row) const override { return clauses.at(row); }
  void show_folder(const char* title) override { folders_shown.push_back(title); }
  void focus_clause_cell(int row, const char* cell) override {
    cells_focused.push_back({row, cell});
  }

 private:
  std::map<std::string, std::string> texts_;
  std::map<std::string, bool> flags_;
};

}  // namespace tessaline::testing
