#include "app/database_lists.h"

#include "db/database.h"

namespace tessaline {

namespace {

// The busy cursor for the time of one load.
class Busy {
 public:
  explicit Busy(Ui& ui) : ui_(ui) { ui_.begin_busy(); }
  ~Busy() { ui_.end_busy(); }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

 private:
  Ui& ui_;
};

}  // namespace

DatabaseLists::DatabaseLists(Database* database, Ui& ui) : database_(database), ui_(ui) {}

void DatabaseLists::load_data_sources() {
  sources_.clear();
  if (database_ == nullptr) return;
  Busy busy(ui_);
  database_->list_data_sources(sources_);
}

bool DatabaseLists::fail() {
  database_->report_error(ui_, "Database Error");
  return false;
}

bool DatabaseLists::connect(const String& source) {
  if (database_->is_open() && database_->data_source_name() == source) return true;
  database_->clear_error();
  if (!database_->open(source)) return false;
  // Tables registered for another data source mean nothing here.
  database_->clear_tables();
  return true;
}

bool DatabaseLists::load_tables(const String& source) {
  if (database_ == nullptr) return false;
  if (tables_loaded_ && tables_source_ == source) return true;
  tables_.clear();
  tables_loaded_ = false;
  Busy busy(ui_);
  if (!connect(source) || !database_->list_tables(tables_, kTableTypesOffered)) {
    tables_.clear();
    return fail();
  }
  tables_loaded_ = true;
  tables_source_ = source;
  return true;
}

bool DatabaseLists::load_columns(const String& source, const String& table) {
  if (database_ == nullptr) return false;
  if (columns_loaded_ && columns_source_ == source && columns_table_ == table) return true;
  columns_.clear();
  columns_loaded_ = false;
  Busy busy(ui_);
  if (!connect(source)) return fail();
  if (database_->find_table(table.c_str()) == nullptr) {
    database_->clear_error();
    database_->add_table_info(table);
  }
  if (!database_->column_names(table, columns_)) {
    columns_.clear();
    return fail();
  }
  columns_loaded_ = true;
  columns_source_ = source;
  columns_table_ = table;
  return true;
}

void DatabaseLists::data_source_changed() {
  if (database_ != nullptr && database_->is_open()) database_->close();
  tables_.clear();
  tables_loaded_ = false;
  table_changed();
}

void DatabaseLists::table_changed() {
  columns_.clear();
  columns_loaded_ = false;
  // The registry keeps a table's columns once read: forgotten with the list.
  if (database_ != nullptr) database_->clear_tables();
}

}  // namespace tessaline
