// field_widgets.h - the widget of each kind of project field, made from its
// entry in the field table (app/project_fields.h).
//
// FieldWidget::make() builds the widget a field's control and kind ask for:
// an edit box, a number box (digits only, at most the field's digits), a
// check box carrying the label, a drop-down list of the field's choices, a
// drop-down of data sources, tables or columns (editable, its choices
// filled by the window when it drops down), a multi-line box, a file name
// box with its chooser ("...") and, where the field has one, its " Edit "
// button, a file list box with a chooser that adds lines, or the clause
// table. The widget that holds the value is named after the field's key;
// the chooser is KEY ".choose", the Edit button KEY ".edit"; labels carry
// the field's label text and tooltips its help text.
//
// Values move only on request: show() puts the project's value into the
// widget, store() writes the widget's value back, but only when the person
// changed it since show(), so that a box that shows a value differently
// (a multi-line box shows every line end as LF) never changes a project
// nobody edited. on_changed is called for every change the person makes
// (and for changes made through the widget's own setters), never for
// show().
//
// Not for: layout (the main window places rows), commands, enabling rules.
//
// Failures: none.
#pragma once

#include <functional>
#include <memory>

#include <QComboBox>
#include <QList>
#include <QPlainTextEdit>
#include <QString>

#include "core/containers.h"
#include "core/string.h"
#include "app/project_fields.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTableWidget;
class QWidget;

namespace tessaline {

// A multi-line box whose context menu is the standard one with `extra`
// after a separator.
class TextEditor : public QPlainTextEdit {
 public:
  explicit TextEditor(QWidget* parent) : QPlainTextEdit(parent) {}
  QList<QAction*> extra;
  // The menu a right-click at `position` opens.
  std::unique_ptr<QMenu> context_menu(const QPoint& position);

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
};

class FieldWidget {
 public:
  // The widget of `field`, its parts parented to `parent`.
  static std::unique_ptr<FieldWidget> make(const ProjectFieldInfo& field, QWidget* parent);
  virtual ~FieldWidget();
  FieldWidget(const FieldWidget&) = delete;
  FieldWidget& operator=(const FieldWidget&) = delete;

  const ProjectFieldInfo& field() const { return field_; }
  const char* key() const { return field_.key; }
  // The widget named after the key: it holds the value and takes the focus.
  QWidget* input() const { return input_; }
  // The label beside it, or null (check boxes carry theirs; some fields
  // have none).
  QLabel* label() const { return label_; }
  // What the folder lays out: the input with its buttons.
  QWidget* row() const { return row_ ? row_ : input_; }
  // A field that grows with the window (multi-line boxes, the table).
  bool grows() const { return stretch() > 0; }
  // Its share of the folder's height: the bodies most, lists and the table
  // less, everything else none.
  virtual int stretch() const { return 0; }

  void show(const Project& project);
  void store(Project& project);
  // The person changed the value since show().
  bool changed() const { return changed_; }
  virtual void set_enabled(bool on);
  // Gives the field the focus; a caret >= 0 is a byte offset into the
  // project's text of the field, where the cursor goes.
  virtual void focus(const Project& project, int caret);
  // Items the field's context menu offers besides the standard ones.
  virtual void set_context_actions(const QList<QAction*>& actions) { (void)actions; }

  std::function<void(FieldWidget&)> on_changed;

 protected:
  FieldWidget(const ProjectFieldInfo& field, QWidget* parent);
  virtual void put(const Project& project) = 0;
  virtual void take(Project& project) = 0;
  // Subclasses call this when the value changes.
  void note_change();
  void set_input(QWidget* input);
  void set_row(QWidget* row) { row_ = row; }
  QWidget* parent() const { return parent_; }

 private:
  const ProjectFieldInfo& field_;
  QWidget* parent_;
  QWidget* input_ = nullptr;
  QLabel* label_ = nullptr;
  QWidget* row_ = nullptr;
  bool showing_ = false;
  bool changed_ = false;
};

// The editable drop-down of the database fields and the clause table's
// Column cells: about_to_drop runs before the list opens, so that the
// window can load the choices then.
class DropDown : public QComboBox {
 public:
  explicit DropDown(QWidget* parent = nullptr);
  void showPopup() override;
  // Replaces the choices, keeping the text shown.
  void set_choices(const Vector<String>& choices);
  std::function<void(DropDown&)> about_to_drop;
};

// The data-source, table and column drop-downs.
class ListFieldWidget : public FieldWidget {
 public:
  ListFieldWidget(const ProjectFieldInfo& field, QWidget* parent);
  DropDown* drop_down() const { return drop_; }
  void set_choices(const Vector<String>& choices) { drop_->set_choices(choices); }
  void clear_choices() { drop_->set_choices(Vector<String>()); }
  void set_context_actions(const QList<QAction*>& actions) override;

 protected:
  void put(const Project& project) override;
  void take(Project& project) override;

 private:
  DropDown* drop_;
};

// File name boxes: the chooser sets the name; the Edit button, if any, runs
// on_edit.
class FileNameWidget : public FieldWidget {
 public:
  FileNameWidget(const ProjectFieldInfo& field, QWidget* parent);
  // The " Edit " button, or null when the field has none.
  QPushButton* edit_button() const { return edit_; }
  void set_enabled(bool on) override;
  void focus(const Project& project, int caret) override;
  // The text in the box now.
  String text() const;
  std::function<void(FileNameWidget&)> on_edit;

 protected:
  void put(const Project& project) override;
  void take(Project& project) override;

 private:
  QLineEdit* edit_box_;
  QPushButton* choose_;
  QPushButton* edit_ = nullptr;
};

// The clause table: one row per clause, its cells a Column drop-down, an
// Operator drop-down, a Value box and an Ignore check box.
class ClauseTableWidget : public FieldWidget {
 public:
  ClauseTableWidget(const ProjectFieldInfo& field, QWidget* parent);
  int stretch() const override { return 2; }
  QTableWidget* table() const { return table_; }
  // Appends an empty row; returns its index.
  int add_row();
  void delete_row(int row);
  // The row holding the focus, or -1 when the table does not have it.
  int focused_row() const;
  // The input of a cell, named after its key (kClauseColumn, ...): row
  // from 0; null when there is no such cell.
  QWidget* cell_widget(int row, const char* cell) const;
  // Focuses a cell.
  bool focus_cell(int row, const char* cell);
  // The Column cells' drop-downs: about_to_drop runs before one opens.
  std::function<void(DropDown&)> column_about_to_drop;
  void clear_column_choices();
  void set_context_actions(const QList<QAction*>& actions) override;

 protected:
  void put(const Project& project) override;
  void take(Project& project) override;

 private:
  void fill_row(int row, const ClauseRow& clause);
  QTableWidget* table_;
};

}  // namespace tessaline
