#include "toolkit/dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSortFilterProxyModel>
#include <QVBoxLayout>

namespace tessaline::dialogs {

namespace {

using dialog_hooks::Kind;
using dialog_hooks::Shown;

Shown shown_as(Kind kind, const QString& caption, const QString& text) {
  Shown shown;
  shown.kind = kind;
  shown.caption = caption;
  shown.text = text;
  return shown;
}

void message(QWidget* parent, QMessageBox::Icon icon, Kind kind, const QString& text,
             const QString& caption) {
  if (dialog_hooks::active()) {
    dialog_hooks::record(shown_as(kind, caption, text));
    return;
  }
  QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
  box.exec();
}

// A dialog with a wrapped prompt above `body` and OK and Cancel below.
class PromptDialog : public QDialog {
 public:
  PromptDialog(QWidget* parent, const QString& caption, const QString& prompt, QWidget* body)
      : QDialog(parent) {
    setWindowTitle(caption);
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(prompt, this);
    label->setWordWrap(true);
    label->setObjectName("prompt");
    layout->addWidget(label);
    body->setParent(this);
    layout->addWidget(body);
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons_);
    label->setBuddy(body);
  }
  QPushButton* ok() { return buttons_->button(QDialogButtonBox::Ok); }

 private:
  QDialogButtonBox* buttons_;
};

// Filters a file dialog's list by the chosen filter's patterns, without
// regard to case. The dialog's own model is told to filter nothing.
class PatternProxy : public QSortFilterProxyModel {
 public:
  void set_filter(const QString& filter) {
    filter_ = filter;
    invalidateFilter();
  }

 protected:
  bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
    auto* model = qobject_cast<QFileSystemModel*>(sourceModel());
    if (model == nullptr) return true;
    QModelIndex index = model->index(row, 0, parent);
    return model->isDir(index) || matches_filter(model->fileName(index), filter_);
  }

 private:
  QString filter_;
};

QStringList file_dialog(QWidget* parent, Kind kind, const QString& caption,
                        const QString& start, const QStringList& filters,
                        const QString& suffix) {
  if (dialog_hooks::active()) {
    Shown shown = shown_as(kind, caption, QString());
    shown.items = filters;
    shown.start = start;
    dialog_hooks::record(shown);
    QStringList paths;
    dialog_hooks::take_files(paths);
    return paths;
  }
  QFileDialog dialog(parent, caption);
  // The program's own dialog: the same on every desktop, and one whose
  // list can be filtered without regard to case.
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  if (kind == Kind::kSaveFile) {
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(suffix);
  } else {
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(kind == Kind::kOpenFiles ? QFileDialog::ExistingFiles
                                                : QFileDialog::ExistingFile);
  }
  QFileInfo where(start);
  if (where.isDir()) {
    dialog.setDirectory(start);
  } else if (!start.isEmpty()) {
    dialog.setDirectory(where.absolutePath());
    if (where.exists() || kind == Kind::kSaveFile) dialog.selectFile(where.fileName());
  }
  auto* proxy = new PatternProxy;
  dialog.setProxyModel(proxy);  // the dialog owns it
  auto use_filter = [&dialog, proxy](const QString& filter) {
    if (auto* model = dialog.findChild<QFileSystemModel*>()) model->setNameFilters({});
    proxy->set_filter(filter);
  };
  QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, use_filter);
  if (!filters.isEmpty()) {
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.first());
    use_filter(filters.first());
  }
  if (dialog.exec() != QDialog::Accepted) return {};
  return dialog.selectedFiles();
}

}  // namespace

void error_box(QWidget* parent, const QString& text, const QString& caption) {
  message(parent, QMessageBox::Critical, Kind::kError, text, caption);
}

void information_box(QWidget* parent, const QString& text, const QString& caption) {
  message(parent, QMessageBox::Information, Kind::kInformation, text, caption);
}

Answer question(QWidget* parent, const QString& text, const QString& caption,
                bool with_cancel) {
  Answer cautious = with_cancel ? Answer::kCancel : Answer::kNo;
  if (dialog_hooks::active()) {
    dialog_hooks::record(
        shown_as(with_cancel ? Kind::kYesNoCancel : Kind::kYesNo, caption, text));
    Answer reply = cautious;
    dialog_hooks::take_answer(reply);
    if (!with_cancel && reply == Answer::kCancel) reply = Answer::kNo;
    return reply;
  }
  QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No;
  if (with_cancel) buttons |= QMessageBox::Cancel;
  QMessageBox box(QMessageBox::Question, caption, text, buttons, parent);
  box.setDefaultButton(QMessageBox::Yes);
  box.setEscapeButton(with_cancel ? QMessageBox::Cancel : QMessageBox::No);
  switch (box.exec()) {
    case QMessageBox::Yes:
      return Answer::kYes;
    case QMessageBox::No:
      return Answer::kNo;
    default:
      return cautious;
  }
}

int ask_buttons(QWidget* parent, const QString& text, const QString& caption,
                const QStringList& buttons) {
  if (dialog_hooks::active()) {
    Shown shown = shown_as(Kind::kButtons, caption, text);
    shown.items = buttons;
    dialog_hooks::record(shown);
    int index = -1;
    dialog_hooks::take_button(index);
    return index >= 0 && index < buttons.size() ? index : -1;
  }
  QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::NoButton, parent);
  QList<QAbstractButton*> pressable;
  for (const QString& label : buttons) {
    pressable.append(box.addButton(label, QMessageBox::AcceptRole));
  }
  box.exec();
  return static_cast<int>(pressable.indexOf(box.clickedButton()));
}

bool input_text(QWidget* parent, const QString& prompt, const QString& caption,
                QString& text, int max_length) {
  if (dialog_hooks::active()) {
    Shown shown = shown_as(Kind::kInput, caption, prompt);
    shown.start = text;
    shown.max_length = max_length;
    dialog_hooks::record(shown);
    QString answer;
    bool accepted = false;
    if (!dialog_hooks::take_input(answer, accepted) || !accepted) return false;
    // What the box would have let the person type.
    text = max_length > 0 ? answer.left(max_length) : answer;
    return true;
  }
  auto* edit = new QLineEdit;
  edit->setObjectName("input");
  if (max_length > 0) edit->setMaxLength(max_length);
  edit->setText(text);
  edit->selectAll();
  PromptDialog dialog(parent, caption, prompt, edit);
  dialog.setMinimumWidth(420);
  if (dialog.exec() != QDialog::Accepted) return false;
  text = edit->text();
  return true;
}

int choose_one(QWidget* parent, const QString& prompt, const QString& caption,
               const QStringList& items, int selected) {
  if (dialog_hooks::active()) {
    Shown shown = shown_as(Kind::kChoice, caption, prompt);
    shown.items = items;
    dialog_hooks::record(shown);
    int index = -1;
    dialog_hooks::take_choice(index);
    return index >= 0 && index < items.size() ? index : -1;
  }
  auto* list = new QListWidget;
  list->setObjectName("choices");
  list->addItems(items);
  PromptDialog dialog(parent, caption, prompt, list);
  dialog.setMinimumWidth(420);
  if (selected >= 0 && selected < items.size()) list->setCurrentRow(selected);
  dialog.ok()->setEnabled(list->currentRow() >= 0);
  QObject::connect(list, &QListWidget::currentRowChanged, &dialog,
                   [&dialog](int row) { dialog.ok()->setEnabled(row >= 0); });
  QObject::connect(list, &QListWidget::itemActivated, &dialog, &QDialog::accept);
  if (dialog.exec() != QDialog::Accepted) return -1;
  return list->currentRow();
}

QString open_file(QWidget* parent, const QString& caption, const QString& start,
                  const QStringList& filters) {
  QStringList paths = file_dialog(parent, Kind::kOpenFile, caption, start, filters, QString());
  return paths.isEmpty() ? QString() : paths.first();
}

QStringList open_files(QWidget* parent, const QString& caption, const QString& start,
                       const QStringList& filters) {
  return file_dialog(parent, Kind::kOpenFiles, caption, start, filters, QString());
}

QString save_file(QWidget* parent, const QString& caption, const QString& start,
                  const QStringList& filters, const QString& suffix) {
  QStringList paths = file_dialog(parent, Kind::kSaveFile, caption, start, filters, suffix);
  return paths.isEmpty() ? QString() : paths.first();
}

void beep() {
  if (dialog_hooks::active()) dialog_hooks::record(shown_as(Kind::kBeep, QString(), QString()));
  QApplication::beep();
}

QStringList filter_patterns(const QString& filter) {
  qsizetype open = filter.lastIndexOf('(');
  qsizetype close = filter.lastIndexOf(')');
  QString inside = open >= 0 && close > open ? filter.mid(open + 1, close - open - 1) : filter;
  return inside.split(QRegularExpression("[ ;]+"), Qt::SkipEmptyParts);
}

bool matches_filter(const QString& file_name, const QString& filter) {
  const QStringList patterns = filter_patterns(filter);
  if (patterns.isEmpty()) return true;
  for (const QString& pattern : patterns) {
    if (pattern == "*" || pattern == "*.*") return true;
    QRegularExpression re(QRegularExpression::wildcardToRegularExpression(pattern),
                          QRegularExpression::CaseInsensitiveOption);
    if (re.match(file_name).hasMatch()) return true;
  }
  return false;
}

}  // namespace tessaline::dialogs
