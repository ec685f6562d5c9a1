#include "toolkit/main_window.h"

#include <cstring>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>

#include "core/fatal_error.h"
#include "app/help.h"
#include "app/main_window_rules.h"
#include "app/window_commands.h"
#include "toolkit/dialogs.h"
#include "toolkit/field_widgets.h"
#include "toolkit/qt_text.h"
#include "toolkit/window_placement.h"

namespace tessaline {

namespace {

const QStringList kProjectFilters = {"Tessaline Mailer Project Files (*.ZQJ)",
                                     "All Files (*.*)"};

bool same(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

}  // namespace

MainWindow::MainWindow(Application& app, QtUi& ui)
    : app_(app), ui_(ui), lists_(app.database(), ui) {
  setObjectName("main_window");
  setWindowTitle(application_name);
  setAcceptDrops(true);
  app_.set_window(this);
  ui_.set_main_window(this, this);

  app_.load_settings();
  lists_.load_data_sources();
  build_menus();
  build_folders();
  refresh();
  restore_placement();

  if (app_.settings().auto_open) {
    auto_open_pending_ = true;
    QTimer::singleShot(0, this, [this] {
      if (!auto_open_pending_) return;
      auto_open_pending_ = false;
      // A project opened meanwhile (a dropped file) wins; a project path
      // that is a folder (no project opened yet) opens nothing. A last
      // project that is gone says so.
      const String& path = app_.settings().project_path;
      if (app_.project_open() || path.empty() || QFileInfo(qt_text(path)).isDir()) return;
      app_.open_project(path);
    });
  }
}

MainWindow::~MainWindow() {
  app_.set_window(nullptr);
  ui_.set_main_window(nullptr, nullptr);
}

void MainWindow::cancel_auto_open() { auto_open_pending_ = false; }

// --- menus --------------------------------------------------------------------

QAction* MainWindow::add_action(QMenu* menu, const char* command, const char* text,
                                std::function<void()> run, const QKeySequence& shortcut) {
  auto* action = new QAction(QString::fromUtf8(text), this);
  action->setObjectName(command);
  if (!shortcut.isEmpty()) action->setShortcut(shortcut);
  connect(action, &QAction::triggered, this, [run = std::move(run)] { run(); });
  if (menu) {
    menu->addAction(action);
  } else {
    addAction(action);  // a shortcut of the window, offered in context menus
  }
  actions_[command] = action;
  return action;
}

void MainWindow::build_menus() {
  auto plugged = [this](const char* command) {
    return [this, command] {
      auto found = plugged_.find(command);
      if (found != plugged_.end()) found->second();
    };
  };

  file_menu_ = menuBar()->addMenu("&File");
  QMenu* file = file_menu_;
  add_action(file, kCommandNewProject, "&New project", [this] { app_.new_project(); });
  add_action(file, kCommandOpenProject, "&Open project", [this] { open_project(); });
  add_action(file, kCommandSaveProject, "&Save project", [this] { app_.save_project(true); });
  add_action(file, kCommandSaveProjectAs, "Save project &as", [this] { app_.save_project_as(); });
  add_action(file, kCommandCloseProject, "&Close project", [this] { app_.close_project(); });
  file->addSeparator();
  add_action(file, kCommandSendMessages, "Send messages\tF5", [this] { send_messages(); },
             Qt::Key_F5);
  add_action(file, kCommandRemoveRecipients, "Remove recipients\tF6",
             plugged(kCommandRemoveRecipients), Qt::Key_F6);
  add_action(file, kCommandResumeLastSend, "Resume last send", [this] { resume_last_send(); });
  add_action(file, kCommandViewLog, "View last send log", [this] { app_.view_log(); });
  file->addSeparator();
  recent_separator_ = file->addSeparator();
  add_action(file, kCommandExit, "E&xit", [this] { close(); });

  QMenu* clauses = menuBar()->addMenu("&Clauses");
  add_action(clauses, kCommandAddClause, "&Add clause\tF2", [this] { add_clause(); }, Qt::Key_F2);
  add_action(clauses, kCommandDeleteClause, "&Delete clause\tCtrl+F2", [this] { delete_clause(); },
             QKeySequence(Qt::CTRL | Qt::Key_F2));

  QMenu* options = menuBar()->addMenu("&Options");
  struct Option {
    const char* command;
    const char* text;
    bool ProgramSettings::*flag;
  };
  const Option kOptions[] = {
      {kCommandAutoOpen, "Auto-open last project", &ProgramSettings::auto_open},
      {kCommandAutoSave, "Auto-save project", &ProgramSettings::auto_save},
      {kCommandAutoBackup, "Auto-backup", &ProgramSettings::auto_backup},
  };
  for (const Option& option : kOptions) {
    QAction* action = add_action(options, option.command, option.text, [] {});
    action->setCheckable(true);
    auto flag = option.flag;
    connect(action, &QAction::toggled, this,
            [this, flag](bool on) { app_.settings().*flag = on; });
  }

  QMenu* window = menuBar()->addMenu("&Window");
  add_action(window, "center_window", "Center window", [this] {
    QScreen* screen = this->screen();
    if (screen == nullptr) return;
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  });
  add_action(window, "copy_window", "Copy window to clipboard",
             [this] { QGuiApplication::clipboard()->setPixmap(grab()); });
  add_action(window, "maximize", "Maximize", [this] { showMaximized(); });
  add_action(window, "minimize", "Minimize", [this] { showMinimized(); });
  add_action(window, "refresh_window", "Refresh", [this] { repaint(); });
  add_action(window, "restore", "Restore", [this] { showNormal(); });
  QAction* above = add_action(window, "above_all", "Above all", [] {});
  above->setCheckable(true);
  connect(above, &QAction::toggled, this, [this](bool on) {
    setWindowFlag(Qt::WindowStaysOnTopHint, on);
    show();
  });

  QMenu* help = menuBar()->addMenu("&Help");
  add_action(help, kCommandHelp, "&Help", [this] { this->help(); }, Qt::Key_F1);
  add_action(help, kCommandSendFeedback, "Send &feedback", [this] { app_.send_feedback(); });
  add_action(help, kCommandHomePage, "Tessaline home page", [this] { app_.open_home_page(); });
  add_action(help, kCommandCheckForUpdate, "Check for update", [this] { app_.check_for_update(); });
  add_action(help, kCommandAbout, "About", [this] { about(); });

  // The editors' and lists' own commands: shortcuts of the window, items
  // of their context menus.
  add_action(nullptr, kCommandInsertDatabaseColumn, "Insert database column\tAlt+Ins",
             [this] { insert_tag(true); }, QKeySequence(Qt::ALT | Qt::Key_Insert));
  add_action(nullptr, kCommandInsertBasicTag, "Insert basic tag\tShift+Alt+Ins",
             [this] { insert_tag(false); }, QKeySequence(Qt::SHIFT | Qt::ALT | Qt::Key_Insert));
  add_action(nullptr, kCommandPasteCanonicalize, "Paste and canonicalize",
             [this] { paste_and_canonicalize(); });
  add_action(nullptr, kCommandRefreshList, "Refresh list", [this] { refresh_list(); });
}

void MainWindow::rebuild_recent_projects() {
  for (QAction* action : recent_actions_) {
    file_menu_->removeAction(action);
    delete action;
  }
  recent_actions_.clear();
  const Vector<String>& recent = app_.settings().recent_projects;
  for (int i = 0; i < recent.count(); ++i) {
    String path = recent[i];
    auto* action = new QAction(QString("&%1 %2").arg(i + 1).arg(qt_text(path)), this);
    action->setObjectName(QString("recent_project_%1").arg(i + 1));
    connect(action, &QAction::triggered, this, [this, path] { app_.open_project(path); });
    file_menu_->insertAction(recent_separator_, action);
    recent_actions_.push_back(action);
  }
  recent_separator_->setVisible(!recent.empty());
}

void MainWindow::set_command(const char* command, std::function<void()> run) {
  plugged_[command] = std::move(run);
  apply_enabling();
}

QAction* MainWindow::action(const char* command) const {
  auto found = actions_.find(command);
  if (found != actions_.end()) return found->second;
  return findChild<QAction*>(QString::fromUtf8(command));  // a recent project
}

// --- folders --------------------------------------------------------------------

void MainWindow::build_folders() {
  folders_ = new QTabWidget(this);
  folders_->setObjectName("folders");
  setCentralWidget(folders_);
  QList<QAction*> body_actions = {action(kCommandInsertDatabaseColumn),
                                  action(kCommandInsertBasicTag)};

  for (int folder = 0; folder < project_folder_count(); ++folder) {
    auto* page = new QWidget;
    page->setObjectName(QString::fromUtf8(project_folder(folder).help_key));
    auto* grid = new QGridLayout(page);
    grid->setColumnStretch(1, 1);
    int row = 0;
    bool grows = false;
    // A box without a label of its own belongs to the check box above it.
    auto indented = [page](QWidget* widget) {
      auto* holder = new QWidget(page);
      auto* layout = new QGridLayout(holder);
      layout->setContentsMargins(24, 0, 0, 0);
      layout->addWidget(widget, 0, 0);
      return holder;
    };

    for (const WindowControl& control : folder_controls(folder)) {
      switch (control.kind) {
        case WindowControl::Kind::kField: {
          std::unique_ptr<FieldWidget> owned = FieldWidget::make(*control.field, page);
          FieldWidget* widget = owned.get();
          fields_.push_back(std::move(owned));
          by_key_[control.field->key] = widget;
          widget->on_changed = [this](FieldWidget& changed) { field_changed(changed); };

          switch (control.field->control) {
            case FieldControl::kBodyText:
              widget->set_context_actions(body_actions);
              break;
            case FieldControl::kHtmlText:
              widget->set_context_actions(body_actions + QList<QAction*>{
                                              action(kCommandPasteCanonicalize)});
              break;
            case FieldControl::kDataSources: {
              auto* list = static_cast<ListFieldWidget*>(widget);
              list->set_choices(lists_.data_sources());
              list->set_context_actions({action(kCommandRefreshList)});
              break;
            }
            case FieldControl::kTables: {
              auto* list = static_cast<ListFieldWidget*>(widget);
              list->drop_down()->about_to_drop = [this, list](DropDown&) { load_tables(*list); };
              break;
            }
            case FieldControl::kColumns:
              static_cast<ListFieldWidget*>(widget)->drop_down()->about_to_drop =
                  [this](DropDown& drop) { load_columns(drop); };
              break;
            case FieldControl::kFileName: {
              auto* file = static_cast<FileNameWidget*>(widget);
              file->on_edit = [this](FileNameWidget& edited) { edit_file(edited); };
              if (file->edit_button()) {
                edit_buttons_[edit_button_key(control.field->key).std_string()] =
                    file->edit_button();
              }
              break;
            }
            default:
              break;
          }
          if (control.field->kind == FieldKind::kClauseTable) {
            clause_table_ = static_cast<ClauseTableWidget*>(widget);
            clause_table_->set_context_actions(
                {action(kCommandAddClause), action(kCommandDeleteClause)});
            clause_table_->column_about_to_drop = [this](DropDown& drop) { load_columns(drop); };
          }

          Qt::Alignment align;
          if (control.field->kind == FieldKind::kChoice ||
              control.field->kind == FieldKind::kNumber) {
            align = Qt::AlignLeft;
          }
          if (widget->label()) {
            grid->addWidget(widget->label(), row, 0,
                            widget->grows() ? Qt::AlignLeft | Qt::AlignTop : Qt::Alignment());
            grid->addWidget(widget->row(), row, 1, align);
          } else if (control.field->kind == FieldKind::kCheck) {
            grid->addWidget(widget->row(), row, 0, 1, 2);
          } else {
            grid->addWidget(indented(widget->row()), row, 0, 1, 2);
          }
          if (widget->grows()) {
            grid->setRowStretch(row, widget->stretch());
            grows = true;
          }
          ++row;
          break;
        }
        case WindowControl::Kind::kEditButton:
          break;  // part of its file name box's row
        case WindowControl::Kind::kSmtpServer: {
          auto* label = new QLabel(QString::fromUtf8(control.label), page);
          smtp_server_ = new QLineEdit(page);
          smtp_server_->setObjectName(qt_text(control.key));
          smtp_server_->setToolTip(QString::fromUtf8(control.help_text));
          label->setToolTip(smtp_server_->toolTip());
          label->setBuddy(smtp_server_);
          connect(smtp_server_, &QLineEdit::textChanged, this, [this](const QString& text) {
            if (!refreshing_) app_.set_smtp_server_field(program_text(text));
          });
          grid->addWidget(label, row, 0);
          grid->addWidget(smtp_server_, row, 1);
          ++row;
          break;
        }
        case WindowControl::Kind::kSendButton: {
          send_button_ = new QPushButton(QString::fromUtf8(control.label), page);
          send_button_->setObjectName(qt_text(control.key));
          send_button_->setToolTip(QString::fromUtf8(control.help_text));
          send_button_->setMinimumWidth(send_button_->sizeHint().width() + 48);
          connect(send_button_, &QPushButton::clicked, this, [this] { send_messages(); });
          grid->addWidget(send_button_, row, 1, Qt::AlignLeft);
          ++row;
          break;
        }
      }
    }
    if (!grows) grid->setRowStretch(row, 1);

    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(page);
    folders_->addTab(scroll, QString::fromUtf8(project_folder(folder).title));
  }
  smtp_server_->setText(qt_text(app_.smtp_server_field()));
}

FieldWidget* MainWindow::field_widget(const char* key) const {
  auto found = by_key_.find(key);
  return found == by_key_.end() ? nullptr : found->second;
}

int MainWindow::folder_of(const char* key) const {
  if (same(key, kFieldSmtpServer)) return project_folder_count() - 1;
  const ProjectFieldInfo* field = find_project_field(key);
  return field ? field->folder : -1;
}

// --- showing the project ---------------------------------------------------------

void MainWindow::commit_edits() {
  if (!app_.project_open()) return;
  for (auto& widget : fields_) widget->store(app_.fields());
}

void MainWindow::refresh() {
  refreshing_ = true;
  // Without a project the port box shows the program setting.
  Project shown = app_.fields();
  if (!app_.project_open()) shown.set_number(kFieldSmtpPort, app_.smtp_port_setting());
  for (auto& widget : fields_) widget->show(shown);
  // Another project may name another data source: its lists load anew.
  for (auto& widget : fields_) {
    FieldControl control = widget->field().control;
    if (control == FieldControl::kTables || control == FieldControl::kColumns) {
      static_cast<ListFieldWidget*>(widget.get())->clear_choices();
    }
  }
  smtp_server_->setText(qt_text(app_.smtp_server_field()));
  for (const char* command : {kCommandAutoOpen, kCommandAutoSave, kCommandAutoBackup}) {
    QAction* option = action(command);
    bool blocked = option->blockSignals(true);
    const ProgramSettings& settings = app_.settings();
    option->setChecked(same(command, kCommandAutoOpen)   ? settings.auto_open
                       : same(command, kCommandAutoSave) ? settings.auto_save
                                                          : settings.auto_backup);
    option->blockSignals(blocked);
  }
  refreshing_ = false;
  rebuild_recent_projects();
  update_title();
  resumable_ = app_.last_send_unfinished();
  apply_enabling();
}

void MainWindow::update_title() {
  QString title = QString::fromUtf8(application_name);
  if (app_.project_open()) {
    title += " - ";
    title += app_.project_file_name().empty() ? QString("New project")
                                              : qt_text(app_.project_file_name());
  }
  setWindowTitle(title);
}

void MainWindow::apply_enabling() {
  EnablingState state;
  state.project_open = app_.project_open();
  state.database_available = app_.database_available();
  state.has_data_sources = !lists_.data_sources().empty();
  state.project = &app_.fields();
  state.last_send_unfinished = resumable_;
  for (auto& widget : fields_) widget->set_enabled(is_enabled(state, widget->key()));
  for (auto& [key, button] : edit_buttons_) button->setEnabled(is_enabled(state, key.c_str()));
  smtp_server_->setEnabled(is_enabled(state, kFieldSmtpServer));
  send_button_->setEnabled(is_enabled(state, kCommandSendMessages));
  for (const char* command : {kCommandSaveProject, kCommandSaveProjectAs, kCommandCloseProject,
                              kCommandSendMessages, kCommandAddClause, kCommandDeleteClause,
                              kCommandResumeLastSend}) {
    action(command)->setEnabled(is_enabled(state, command));
  }
  action(kCommandRemoveRecipients)
      ->setEnabled(plugged_.count(kCommandRemoveRecipients) > 0 &&
                   is_enabled(state, kCommandRemoveRecipients));
}

void MainWindow::field_changed(FieldWidget& widget) {
  if (refreshing_ || !app_.project_open()) return;
  // Multi-line texts are written when needed (commit_edits): they decide
  // no enabling, and can be long.
  if (!widget.grows() || widget.field().kind == FieldKind::kClauseTable) {
    widget.store(app_.fields());
  }
  const char* key = widget.key();
  if (widget.field().kind == FieldKind::kCheck && app_.fields().flag(key)) {
    if (const char* partner = exclusive_partner(key)) {
      if (FieldWidget* other = field_widget(partner)) {
        static_cast<QAbstractButton*>(other->input())->setChecked(false);
      }
    }
  }
  // Another data source or table: the lists behind the drop-downs below it
  // are forgotten, and load again when they next drop down.
  bool source = same(key, kFieldDbName);
  if (source || same(key, kFieldTableName)) {
    if (source) {
      lists_.data_source_changed();
    } else {
      lists_.table_changed();
    }
    for (auto& other : fields_) {
      FieldControl control = other->field().control;
      if (control == FieldControl::kColumns || (source && control == FieldControl::kTables)) {
        static_cast<ListFieldWidget*>(other.get())->clear_choices();
      }
    }
    if (clause_table_) clause_table_->clear_column_choices();
  }
  apply_enabling();
}

// --- ProjectWindow -------------------------------------------------------------

bool MainWindow::choose_save_path(const String& start, String& path) {
  QString chosen = dialogs::save_file(this, "Save Project", qt_text(start), kProjectFilters,
                                      "ZQJ");
  if (chosen.isEmpty()) return false;
  path = program_text(chosen);
  return true;
}

void MainWindow::show_folder(const char* title) {
  for (int i = 0; i < folders_->count(); ++i) {
    if (folders_->tabText(i) == QString::fromUtf8(title)) folders_->setCurrentIndex(i);
  }
}

bool MainWindow::focus_clause_cell(int row, const char* cell) {
  if (clause_table_ == nullptr) return false;
  show_folder(project_folder(clause_table_->field().folder).title);
  return clause_table_->focus_cell(row, cell);
}

void MainWindow::review(SendPreview& preview) {
  if (review_) {
    review_(preview);
  } else {
    ProjectWindow::review(preview);
  }
}

void MainWindow::focus_field(const String& key, int caret) {
  int folder = folder_of(key.c_str());
  if (folder < 0) return;
  folders_->setCurrentIndex(folder);
  raise();
  activateWindow();
  if (same(key.c_str(), kFieldSmtpServer)) {
    smtp_server_->setFocus(Qt::OtherFocusReason);
    if (caret >= 0) smtp_server_->setCursorPosition(qt_position(app_.smtp_server_field(), caret, false));
    return;
  }
  if (FieldWidget* widget = field_widget(key.c_str())) widget->focus(app_.fields(), caret);
}

// --- the window's own events -------------------------------------------------

void MainWindow::closeEvent(QCloseEvent* event) {
  // A send in progress ends first.
  if (app_.operation_running() || !app_.close_project()) {
    event->ignore();
    return;
  }
  store_placement();
  app_.save_settings();
  app_.save_smtp_settings();
  event->accept();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  for (const QUrl& url : event->mimeData()->urls()) {
    if (url.isLocalFile()) {
      event->acceptProposedAction();
      return;
    }
  }
}

void MainWindow::dropEvent(QDropEvent* event) {
  for (const QUrl& url : event->mimeData()->urls()) {
    if (!url.isLocalFile()) continue;
    event->acceptProposedAction();
    // Opened once the drop is over: opening may ask questions.
    String path = program_text(url.toLocalFile());
    QTimer::singleShot(0, this, [this, path] {
      if (!app_.operation_running()) app_.open_project(path);
    });
    return;
  }
}

void MainWindow::restore_placement() {
  resize(820, 620);
  place(*this, app_.settings().main_window_position);
}

void MainWindow::store_placement() { app_.settings().main_window_position = placement_of(*this); }

// --- commands ------------------------------------------------------------------

void MainWindow::open_project() {
  QString chosen = dialogs::open_file(this, "Open Project",
                                      qt_text(app_.settings().project_path), kProjectFilters);
  if (!chosen.isEmpty()) app_.open_project(program_text(chosen));
}

void MainWindow::send_messages() {
  if (!app_.project_open()) return;
  app_.send_messages();
  after_send();
}

void MainWindow::resume_last_send() {
  if (!app_.project_open() || !action(kCommandResumeLastSend)->isEnabled()) return;
  app_.resume_last_send();
  after_send();
}

void MainWindow::after_send() {
  // The send keeps the server it used as the program's setting.
  refreshing_ = true;
  smtp_server_->setText(qt_text(app_.smtp_server_field()));
  refreshing_ = false;
  // A send that did not finish can now be resumed; one that did cannot.
  resumable_ = app_.last_send_unfinished();
  apply_enabling();
}

void MainWindow::add_clause() {
  if (clause_table_ == nullptr || !action(kCommandAddClause)->isEnabled()) return;
  int row = clause_table_->add_row();
  focus_clause_cell(row, kClauseColumn);
}

void MainWindow::delete_clause() {
  if (clause_table_ == nullptr) return;
  int row = clause_table_->focused_row();
  if (row < 0) {
    ui_.beep();
    return;
  }
  clause_table_->delete_row(row);
  int rows = clause_table_->table()->rowCount();
  if (rows > 0) clause_table_->focus_cell(row < rows ? row : rows - 1, kClauseColumn);
}

void MainWindow::refresh_list() {
  lists_.load_data_sources();
  if (auto* list = static_cast<ListFieldWidget*>(field_widget(kFieldDbName))) {
    list->set_choices(lists_.data_sources());
  }
  apply_enabling();
}

const char* MainWindow::focused_field() const {
  for (QWidget* widget = QApplication::focusWidget(); widget != nullptr;
       widget = widget->parentWidget()) {
    for (const auto& field : fields_) {
      if (field->input() == widget) return field->key();
    }
  }
  return nullptr;
}

void MainWindow::insert_tag(bool database_column) {
  const char* focused = focused_field();
  String inserted;
  bool chosen = database_column
                    ? insert_database_column(ui_, app_.fields(), lists_, focused, inserted)
                    : insert_basic_tag(ui_, focused, inserted);
  if (!chosen) return;
  auto* editor = qobject_cast<QPlainTextEdit*>(field_widget(focused)->input());
  editor->insertPlainText(qt_text(inserted));
  editor->setFocus(Qt::OtherFocusReason);
}

void MainWindow::paste_and_canonicalize() {
  const char* focused = focused_field();
  if (focused == nullptr || !same(focused, kFieldHtmlBody)) {
    ui_.beep();
    return;
  }
  String pasted = program_text(QGuiApplication::clipboard()->text());
  auto* editor = qobject_cast<QPlainTextEdit*>(field_widget(focused)->input());
  editor->insertPlainText(qt_text(canonicalize_html(pasted)));
}

void MainWindow::edit_file(FileNameWidget& widget) {
  tessaline::edit_file(ui_, widget.text(),
                       [this](const String& path) { return app_.open_document(path); });
}

void MainWindow::load_tables(ListFieldWidget& widget) {
  String source = app_.fields().text(kFieldDbName);
  if (lists_.load_tables(source)) {
    widget.set_choices(lists_.tables());
  } else {
    widget.clear_choices();
  }
}

void MainWindow::load_columns(DropDown& drop_down) {
  const Project& project = app_.fields();
  String source = project.text(kFieldDbName);
  String table = project.text(kFieldTableName);
  String blank_table = table;
  blank_table.trim();
  if (!blank_table.empty() && lists_.load_columns(source, table)) {
    drop_down.set_choices(lists_.columns());
  } else {
    drop_down.set_choices(Vector<String>());
  }
}

void MainWindow::about() { ui_.information_box(about_text(), "About"); }

void MainWindow::help() { open_help(ui_, kProgramHelp); }

}  // namespace tessaline
