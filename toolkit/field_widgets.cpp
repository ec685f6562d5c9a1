#include "toolkit/field_widgets.h"

#include <cstring>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTableWidget>
#include <QTextBlock>
#include <QVBoxLayout>

#include "recipients/project_values.h"
#include "toolkit/dialogs.h"
#include "toolkit/qt_text.h"

namespace tessaline {

namespace {

const char kAllFiles[] = "All Files (*.*)";

// A row of widgets side by side, the first one growing.
QWidget* side_by_side(QWidget* parent, std::initializer_list<QWidget*> widgets) {
  auto* row = new QWidget(parent);
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  bool first = true;
  for (QWidget* widget : widgets) {
    layout->addWidget(widget, first ? 1 : 0);
    first = false;
  }
  return row;
}

// Where a chooser starts: the folder of the file named, else the current one.
QString chooser_start(const QString& named) {
  if (named.trimmed().isEmpty()) return QString();
  QFileInfo info(named.trimmed());
  return info.exists() ? info.absoluteFilePath() : info.absolutePath();
}

// --- edit boxes and number boxes --------------------------------------------

class LineWidget : public FieldWidget {
 public:
  LineWidget(const ProjectFieldInfo& field, QWidget* parent) : FieldWidget(field, parent) {
    edit_ = new QLineEdit(parent);
    if (field.kind == FieldKind::kNumber) {
      edit_->setValidator(
          new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edit_));
      if (field.digits > 0) {
        edit_->setMaxLength(field.digits);
        int width = edit_->fontMetrics().horizontalAdvance(QString(field.digits + 2, '0'));
        edit_->setMaximumWidth(width + 16);
      }
    }
    QObject::connect(edit_, &QLineEdit::textChanged, edit_, [this] { note_change(); });
    set_input(edit_);
  }

  void focus(const Project& project, int caret) override {
    FieldWidget::focus(project, -1);
    if (caret >= 0) edit_->setCursorPosition(qt_position(project.text(key()), caret, false));
  }

 protected:
  void put(const Project& project) override { edit_->setText(qt_text(project.text(key()))); }
  void take(Project& project) override { project.set_text(key(), program_text(edit_->text())); }

 private:
  QLineEdit* edit_;
};

// --- check boxes ------------------------------------------------------------

class CheckWidget : public FieldWidget {
 public:
  CheckWidget(const ProjectFieldInfo& field, QWidget* parent) : FieldWidget(field, parent) {
    box_ = new QCheckBox(QString::fromUtf8(field.label), parent);
    QObject::connect(box_, &QCheckBox::toggled, box_, [this] { note_change(); });
    set_input(box_);
  }

 protected:
  void put(const Project& project) override { box_->setChecked(project.flag(key())); }
  void take(Project& project) override { project.set_flag(key(), box_->isChecked()); }

 private:
  QCheckBox* box_;
};

// --- drop-down lists of fixed choices -------------------------------------------

class ChoiceWidget : public FieldWidget {
 public:
  ChoiceWidget(const ProjectFieldInfo& field, QWidget* parent) : FieldWidget(field, parent) {
    combo_ = new QComboBox(parent);
    for (int i = 0; i < field.choice_count; ++i) {
      combo_->addItem(QString::fromUtf8(field.choices[i].label), field.choices[i].value);
    }
    combo_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    QObject::connect(combo_, &QComboBox::currentIndexChanged, combo_, [this] { note_change(); });
    set_input(combo_);
  }

 protected:
  void put(const Project& project) override {
    // A value that is none of the choices shows nothing chosen.
    combo_->setCurrentIndex(combo_->findData(project.number(key())));
  }
  void take(Project& project) override {
    if (combo_->currentIndex() >= 0) project.set_number(key(), combo_->currentData().toInt());
  }

 private:
  QComboBox* combo_;
};

// --- multi-line boxes and file lists ----------------------------------------------

class TextWidget : public FieldWidget {
 public:
  TextWidget(const ProjectFieldInfo& field, QWidget* parent) : FieldWidget(field, parent) {
    editor_ = new TextEditor(parent);
    bool body = field.control == FieldControl::kBodyText ||
                field.control == FieldControl::kHtmlText;
    // The bodies are written for line lengths: shown in a fixed font, and
    // a tab is a character of theirs; elsewhere Tab goes to the next field.
    if (body) {
      editor_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    } else {
      editor_->setTabChangesFocus(true);
    }
    editor_->setMinimumHeight(editor_->fontMetrics().lineSpacing() * 4);
    QObject::connect(editor_, &QPlainTextEdit::textChanged, editor_, [this] { note_change(); });
    set_input(editor_);
    if (field.control == FieldControl::kFileList) {
      auto* add = new QPushButton("Add files...", parent);
      add->setObjectName(QString::fromUtf8(field.key) + ".choose");
      add->setToolTip(QString::fromUtf8(field.chooser_title ? field.chooser_title : ""));
      QObject::connect(add, &QPushButton::clicked, add, [this] { choose_files(); });
      chooser_ = add;
      auto* row = new QWidget(parent);
      auto* layout = new QHBoxLayout(row);
      layout->setContentsMargins(0, 0, 0, 0);
      layout->addWidget(editor_, 1);
      auto* column = new QVBoxLayout;
      column->addWidget(add);
      column->addStretch(1);
      layout->addLayout(column);
      set_row(row);
    }
  }

  int stretch() const override {
    FieldControl control = field().control;
    return control == FieldControl::kBodyText || control == FieldControl::kHtmlText ? 3 : 1;
  }

  void set_enabled(bool on) override {
    FieldWidget::set_enabled(on);
    if (chooser_) chooser_->setEnabled(on);
  }

  void focus(const Project& project, int caret) override {
    FieldWidget::focus(project, -1);
    if (caret < 0) return;
    QTextCursor cursor = editor_->textCursor();
    cursor.setPosition(qt_position(project.text(key()), caret, true));
    editor_->setTextCursor(cursor);
    editor_->ensureCursorVisible();
  }

  void set_context_actions(const QList<QAction*>& actions) override { editor_->extra = actions; }

 protected:
  void put(const Project& project) override {
    editor_->setPlainText(qt_text(project.text(key())));
  }
  void take(Project& project) override {
    project.set_text(key(), program_text(editor_->toPlainText()));
  }

 private:
  void choose_files() {
    QStringList paths = dialogs::open_files(
        editor_->window(), QString::fromUtf8(field().chooser_title ? field().chooser_title : ""),
        QString(), {kAllFiles});
    if (paths.isEmpty()) return;
    QString text = editor_->toPlainText();
    if (!text.isEmpty() && !text.endsWith('\n')) text += '\n';
    text += paths.join('\n');
    editor_->setPlainText(text);
    editor_->moveCursor(QTextCursor::End);
  }

  TextEditor* editor_;
  QPushButton* chooser_ = nullptr;
};

}  // namespace

// --- TextEditor -------------------------------------------------------------

std::unique_ptr<QMenu> TextEditor::context_menu(const QPoint& position) {
  std::unique_ptr<QMenu> menu(createStandardContextMenu(position));
  if (!extra.isEmpty()) {
    menu->addSeparator();
    menu->addActions(extra);
  }
  return menu;
}

void TextEditor::contextMenuEvent(QContextMenuEvent* event) {
  context_menu(event->pos())->exec(event->globalPos());
}

// --- FieldWidget ------------------------------------------------------------

FieldWidget::FieldWidget(const ProjectFieldInfo& field, QWidget* parent)
    : field_(field), parent_(parent) {
  if (field.kind != FieldKind::kCheck && field.label[0] != '\0') {
    label_ = new QLabel(QString::fromUtf8(field.label), parent);
    label_->setObjectName(QString::fromUtf8(field.key) + ".label");
    label_->setToolTip(QString::fromUtf8(field.help_text));
  }
}

FieldWidget::~FieldWidget() = default;

void FieldWidget::set_input(QWidget* input) {
  input_ = input;
  input_->setObjectName(QString::fromUtf8(field_.key));
  input_->setToolTip(QString::fromUtf8(field_.help_text));
  if (label_) label_->setBuddy(input_);
}

std::unique_ptr<FieldWidget> FieldWidget::make(const ProjectFieldInfo& field, QWidget* parent) {
  switch (field.control) {
    case FieldControl::kMultiLine:
    case FieldControl::kBodyText:
    case FieldControl::kHtmlText:
    case FieldControl::kFileList:
      return std::make_unique<TextWidget>(field, parent);
    case FieldControl::kDataSources:
    case FieldControl::kTables:
    case FieldControl::kColumns:
      return std::make_unique<ListFieldWidget>(field, parent);
    case FieldControl::kFileName:
      return std::make_unique<FileNameWidget>(field, parent);
    case FieldControl::kAuto:
      break;
  }
  switch (field.kind) {
    case FieldKind::kCheck:
      return std::make_unique<CheckWidget>(field, parent);
    case FieldKind::kChoice:
      return std::make_unique<ChoiceWidget>(field, parent);
    case FieldKind::kClauseTable:
      return std::make_unique<ClauseTableWidget>(field, parent);
    case FieldKind::kText:
    case FieldKind::kNumber:
      break;
  }
  return std::make_unique<LineWidget>(field, parent);
}

void FieldWidget::show(const Project& project) {
  showing_ = true;
  put(project);
  showing_ = false;
  changed_ = false;
}

void FieldWidget::store(Project& project) {
  if (!changed_) return;
  take(project);
  changed_ = false;
}

void FieldWidget::note_change() {
  if (showing_) return;
  changed_ = true;
  if (on_changed) on_changed(*this);
}

void FieldWidget::set_enabled(bool on) {
  input_->setEnabled(on);
  if (label_) label_->setEnabled(on);
}

void FieldWidget::focus(const Project& project, int caret) {
  (void)project;
  (void)caret;
  input_->setFocus(Qt::OtherFocusReason);
}

// --- DropDown ---------------------------------------------------------------

DropDown::DropDown(QWidget* parent) : QComboBox(parent) {
  setEditable(true);
  setInsertPolicy(QComboBox::NoInsert);
  // The list's first entry must not complete a name being typed.
  setCompleter(nullptr);
}

void DropDown::showPopup() {
  if (about_to_drop) about_to_drop(*this);
  QComboBox::showPopup();
}

void DropDown::set_choices(const Vector<String>& choices) {
  QString text = currentText();
  bool blocked = blockSignals(true);
  clear();
  for (const String& choice : choices) addItem(qt_text(choice));
  setCurrentIndex(-1);
  setEditText(text);
  blockSignals(blocked);
}

// --- ListFieldWidget ----------------------------------------------------------

ListFieldWidget::ListFieldWidget(const ProjectFieldInfo& field, QWidget* parent)
    : FieldWidget(field, parent) {
  drop_ = new DropDown(parent);
  QObject::connect(drop_, &QComboBox::currentTextChanged, drop_, [this] { note_change(); });
  set_input(drop_);
}

void ListFieldWidget::set_context_actions(const QList<QAction*>& actions) {
  drop_->setContextMenuPolicy(Qt::CustomContextMenu);
  QObject::connect(drop_, &QWidget::customContextMenuRequested, drop_,
                   [this, actions](const QPoint& where) {
                     QMenu menu;
                     menu.addActions(actions);
                     menu.exec(drop_->mapToGlobal(where));
                   });
  if (QLineEdit* edit = drop_->lineEdit()) {
    edit->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(edit, &QWidget::customContextMenuRequested, edit,
                     [edit, actions](const QPoint& where) {
                       std::unique_ptr<QMenu> menu(edit->createStandardContextMenu());
                       menu->addSeparator();
                       menu->addActions(actions);
                       menu->exec(edit->mapToGlobal(where));
                     });
  }
}

void ListFieldWidget::put(const Project& project) {
  drop_->setEditText(qt_text(project.text(key())));
}

void ListFieldWidget::take(Project& project) {
  project.set_text(key(), program_text(drop_->currentText()));
}

// --- FileNameWidget -------------------------------------------------------------

FileNameWidget::FileNameWidget(const ProjectFieldInfo& field, QWidget* parent)
    : FieldWidget(field, parent) {
  edit_box_ = new QLineEdit(parent);
  QObject::connect(edit_box_, &QLineEdit::textChanged, edit_box_, [this] { note_change(); });
  set_input(edit_box_);
  QString key = QString::fromUtf8(field.key);
  choose_ = new QPushButton("...", parent);
  choose_->setObjectName(key + ".choose");
  choose_->setToolTip(QString::fromUtf8(field.chooser_title ? field.chooser_title : ""));
  choose_->setMaximumWidth(choose_->fontMetrics().horizontalAdvance("...") + 24);
  QObject::connect(choose_, &QPushButton::clicked, choose_, [this] {
    QString chosen = dialogs::open_file(
        edit_box_->window(),
        QString::fromUtf8(this->field().chooser_title ? this->field().chooser_title : ""),
        chooser_start(edit_box_->text()), {kAllFiles});
    if (!chosen.isEmpty()) edit_box_->setText(chosen);
  });
  if (field.edit_help != nullptr) {
    edit_ = new QPushButton(" Edit ", parent);
    edit_->setObjectName(key + ".edit");
    edit_->setToolTip(QString::fromUtf8(field.edit_help));
    QObject::connect(edit_, &QPushButton::clicked, edit_, [this] {
      if (on_edit) on_edit(*this);
    });
    set_row(side_by_side(parent, {edit_box_, choose_, edit_}));
  } else {
    set_row(side_by_side(parent, {edit_box_, choose_}));
  }
}

void FileNameWidget::set_enabled(bool on) {
  FieldWidget::set_enabled(on);
  choose_->setEnabled(on);
}

void FileNameWidget::focus(const Project& project, int caret) {
  FieldWidget::focus(project, -1);
  if (caret >= 0) edit_box_->setCursorPosition(qt_position(project.text(key()), caret, false));
}

String FileNameWidget::text() const { return program_text(edit_box_->text()); }

void FileNameWidget::put(const Project& project) {
  edit_box_->setText(qt_text(project.text(key())));
}

void FileNameWidget::take(Project& project) {
  project.set_text(key(), program_text(edit_box_->text()));
}

// --- ClauseTableWidget ---------------------------------------------------------------

namespace {

enum ClauseCell { kColumnCell, kOperatorCell, kValueCell, kIgnoreCell, kCellCount };

const char* const kCellKeys[kCellCount] = {kClauseColumn, kClauseOperator, kClauseValue,
                                           kClauseIgnore};

const struct {
  const char* title;
  const char* help;
} kCellHeads[kCellCount] = {
    {"Column",
     "This column contains the name of the database column on which you wish the clause to "
     "operate."},
    {"Operator",
     "This column contains the relational operator for the clause.  The relationship must be "
     "true in order for the recipient to be included."},
    {"Value",
     "This column contains the value that the database column is compared to using the "
     "relational operator."},
    {"Ignore", "If checked, the clause will be ignored."},
};

// The operators in their stored order: 1 "=" ... 6 ">"; 0 is none.
const char* const kOperators[] = {"", "=", "<>", "<=", ">=", "<", ">"};
constexpr int kOperatorCount = sizeof kOperators / sizeof kOperators[0];

}  // namespace

ClauseTableWidget::ClauseTableWidget(const ProjectFieldInfo& field, QWidget* parent)
    : FieldWidget(field, parent) {
  table_ = new QTableWidget(0, kCellCount, parent);
  for (int cell = 0; cell < kCellCount; ++cell) {
    auto* head = new QTableWidgetItem(kCellHeads[cell].title);
    head->setToolTip(kCellHeads[cell].help);
    table_->setHorizontalHeaderItem(cell, head);
  }
  QHeaderView* header = table_->horizontalHeader();
  header->setSectionResizeMode(kColumnCell, QHeaderView::Stretch);
  header->setSectionResizeMode(kOperatorCell, QHeaderView::ResizeToContents);
  header->setSectionResizeMode(kValueCell, QHeaderView::Stretch);
  header->setSectionResizeMode(kIgnoreCell, QHeaderView::ResizeToContents);
  table_->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  table_->setSelectionMode(QAbstractItemView::NoSelection);
  table_->setMinimumHeight(table_->fontMetrics().lineSpacing() * 6);
  set_input(table_);
}

void ClauseTableWidget::set_context_actions(const QList<QAction*>& actions) {
  table_->setContextMenuPolicy(Qt::ActionsContextMenu);
  table_->addActions(actions);
}

void ClauseTableWidget::fill_row(int row, const ClauseRow& clause) {
  auto* column = new DropDown;
  column->setObjectName(kClauseColumn);
  column->setToolTip(kCellHeads[kColumnCell].help);
  column->setEditText(qt_text(clause.column));
  column->about_to_drop = [this](DropDown& drop) {
    if (column_about_to_drop) column_about_to_drop(drop);
  };
  QObject::connect(column, &QComboBox::currentTextChanged, column, [this] { note_change(); });

  auto* op = new QComboBox;
  op->setObjectName(kClauseOperator);
  op->setToolTip(kCellHeads[kOperatorCell].help);
  for (const char* text : kOperators) op->addItem(text);
  op->setCurrentIndex(clause.op >= 0 && clause.op < kOperatorCount ? clause.op : 0);
  QObject::connect(op, &QComboBox::currentIndexChanged, op, [this] { note_change(); });

  auto* value = new QLineEdit;
  value->setObjectName(kClauseValue);
  value->setToolTip(kCellHeads[kValueCell].help);
  value->setFrame(false);
  value->setText(qt_text(clause.value));
  QObject::connect(value, &QLineEdit::textChanged, value, [this] { note_change(); });

  auto* ignore = new QCheckBox;
  ignore->setObjectName(kClauseIgnore);
  ignore->setToolTip(kCellHeads[kIgnoreCell].help);
  ignore->setChecked(clause.ignore);
  QObject::connect(ignore, &QCheckBox::toggled, ignore, [this] { note_change(); });
  // In the middle of its cell, under its heading.
  auto* centred = new QWidget;
  auto* centring = new QHBoxLayout(centred);
  centring->setContentsMargins(0, 0, 0, 0);
  centring->addWidget(ignore, 0, Qt::AlignCenter);

  table_->setCellWidget(row, kColumnCell, column);
  table_->setCellWidget(row, kOperatorCell, op);
  table_->setCellWidget(row, kValueCell, value);
  table_->setCellWidget(row, kIgnoreCell, centred);
}

void ClauseTableWidget::put(const Project& project) {
  const Vector<ClauseRow>& clauses = project.clauses();
  table_->setRowCount(0);
  table_->setRowCount(clauses.count());
  for (int row = 0; row < clauses.count(); ++row) fill_row(row, clauses[row]);
}

void ClauseTableWidget::take(Project& project) {
  Vector<ClauseRow>& clauses = project.clauses();
  clauses.clear();
  for (int row = 0; row < table_->rowCount(); ++row) {
    ClauseRow& clause = clauses.append();
    auto* column = static_cast<QComboBox*>(cell_widget(row, kClauseColumn));
    auto* op = static_cast<QComboBox*>(cell_widget(row, kClauseOperator));
    auto* value = static_cast<QLineEdit*>(cell_widget(row, kClauseValue));
    auto* ignore = static_cast<QCheckBox*>(cell_widget(row, kClauseIgnore));
    clause.column = program_text(column->currentText());
    clause.op = op->currentIndex() > 0 ? op->currentIndex() : 0;
    clause.value = program_text(value->text());
    clause.ignore = ignore->isChecked();
  }
}

int ClauseTableWidget::add_row() {
  int row = table_->rowCount();
  table_->insertRow(row);
  fill_row(row, ClauseRow());
  note_change();
  return row;
}

void ClauseTableWidget::delete_row(int row) {
  if (row < 0 || row >= table_->rowCount()) return;
  table_->removeRow(row);
  note_change();
}

int ClauseTableWidget::focused_row() const {
  QWidget* focus = QApplication::focusWidget();
  if (focus == nullptr) return -1;
  for (int row = 0; row < table_->rowCount(); ++row) {
    for (int cell = 0; cell < kCellCount; ++cell) {
      QWidget* widget = table_->cellWidget(row, cell);
      if (widget && (widget == focus || widget->isAncestorOf(focus))) return row;
    }
  }
  return focus == table_ ? table_->currentRow() : -1;
}

QWidget* ClauseTableWidget::cell_widget(int row, const char* cell) const {
  if (row < 0 || row >= table_->rowCount()) return nullptr;
  for (int i = 0; i < kCellCount; ++i) {
    if (std::strcmp(kCellKeys[i], cell) != 0) continue;
    QWidget* widget = table_->cellWidget(row, i);
    if (widget && widget->objectName() != kCellKeys[i]) {
      widget = widget->findChild<QWidget*>(kCellKeys[i]);
    }
    return widget;
  }
  return nullptr;
}

bool ClauseTableWidget::focus_cell(int row, const char* cell) {
  QWidget* widget = cell_widget(row, cell);
  if (widget == nullptr) return false;
  for (int i = 0; i < kCellCount; ++i) {
    if (std::strcmp(kCellKeys[i], cell) == 0) table_->setCurrentCell(row, i);
  }
  table_->scrollTo(table_->model()->index(row, table_->currentColumn()));
  widget->setFocus(Qt::OtherFocusReason);
  return true;
}

void ClauseTableWidget::clear_column_choices() {
  for (int row = 0; row < table_->rowCount(); ++row) {
    static_cast<DropDown*>(cell_widget(row, kClauseColumn))->set_choices(Vector<String>());
  }
}

}  // namespace tessaline
