#include "toolkit/remove_recipients_dialog.h"

#include <QAction>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include "mail/smtp_server.h"
#include "app/help.h"
#include "app/main_window_rules.h"
#include "app/settings.h"
#include "toolkit/main_window.h"
#include "toolkit/qt_text.h"
#include "toolkit/window_placement.h"

namespace tessaline {

namespace {

constexpr char kTitle[] = "Remove Recipients";

struct ButtonInfo {
  const char* name;
  const char* text;  // "&" marks the accelerator
  const char* tooltip;
};
const ButtonInfo kButtons[] = {
    {"begin", "&Begin", "Begin the operation."},
    {"preview", "&Preview", "Preview the changes that the operation will make without altering "
                            "anything."},
    {"abort", "&Abort", "Abort the operation."},
    {"help", "&Help", "Display help on this window."},
};

}  // namespace

RemoveRecipientsDialog::RemoveRecipientsDialog(Application& app, QtUi& ui, MainWindow* window)
    : QDialog(window), app_(app), ui_(ui), window_(window) {
  setObjectName("remove_recipients_dialog");
  setWindowTitle(kTitle);
  auto* layout = new QVBoxLayout(this);
  auto* label = new QLabel(
      "Enter the simple email addresses of the recipients that you wish to remove, one per line:",
      this);
  label->setWordWrap(true);
  layout->addWidget(label);
  addresses_ = new QPlainTextEdit(this);
  addresses_->setObjectName("addresses");
  addresses_->setTabChangesFocus(true);
  label->setBuddy(addresses_);
  layout->addWidget(addresses_, 1);

  ProjectValues& project = app_.project();
  for (int i = 0; i < kRemoveSourceCount; ++i) {
    const RemoveSourceInfo& info = kRemoveSourceInfo[i];
    RemoveSourceState state = remove_source_state(project, static_cast<RemoveSource>(i));
    auto* box = new QCheckBox(info.caption, this);
    box->setObjectName(info.key);
    box->setToolTip(info.tooltip);
    box->setEnabled(state.enabled);
    box->setChecked(state.checked);
    layout->addWidget(box);
    boxes_[i] = box;
  }

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  for (const ButtonInfo& info : kButtons) {
    auto* button = new QPushButton(info.text, this);
    button->setObjectName(info.name);
    button->setToolTip(info.tooltip);
    button->setAutoDefault(false);
    buttons->addWidget(button);
    QString name = info.name;
    connect(button, &QPushButton::clicked, this, [this, name] {
      if (name == "begin") run(false);
      if (name == "preview") run(true);
      if (name == "abort") reject();
      if (name == "help") open_help(ui_, kHelpRemoveRecipients);
    });
  }
  layout->addLayout(buttons);
  resize(520, 400);
  restore_placement(*this, kRemoveRecipientsPositionSetting.name);
}

RemoveRecipientsDialog::~RemoveRecipientsDialog() = default;

void RemoveRecipientsDialog::done(int result) {
  save_placement(*this, kRemoveRecipientsPositionSetting.name);
  QDialog::done(result);
}

void RemoveRecipientsDialog::run(bool preview) {
  if (window_) window_->commit_edits();
  RemoveSources sources{};
  for (int i = 0; i < kRemoveSourceCount; ++i) {
    sources[i] = boxes_[i]->isEnabled() && boxes_[i]->isChecked();
  }
  RemoveResult result = remove_recipients(app_.project(), ui_, app_.database(),
                                          program_text(addresses_->toPlainText()), sources,
                                          preview);
  if (result.lists_changed && window_) window_->refresh();
  if (result.outcome == RemoveResult::Outcome::kReported) show_report(result.report);
}

void RemoveRecipientsDialog::show_report(const String& report) {
  if (report_) report_->close();
  auto* window = new QDialog(this);
  window->setObjectName("remove_report");
  window->setWindowTitle(kTitle);
  window->setAttribute(Qt::WA_DeleteOnClose);
  auto* layout = new QVBoxLayout(window);
  auto* text = new QPlainTextEdit(window);
  text->setObjectName("report");
  text->setReadOnly(true);
  text->setLineWrapMode(QPlainTextEdit::NoWrap);
  text->setPlainText(qt_text(report));
  layout->addWidget(text);
  auto* close = new QDialogButtonBox(QDialogButtonBox::Close, window);
  connect(close, &QDialogButtonBox::rejected, window, &QDialog::close);
  layout->addWidget(close);
  window->resize(560, 380);
  report_ = window;
  window->show();
}

void remove_recipients_command(Application& app, QtUi& ui, MainWindow& window) {
  if (!app.project_open()) {
    ui.beep();
    return;
  }
  RemoveRecipientsDialog dialog(app, ui, &window);
  dialog.exec();
}

void plug_remove_recipients(Application& app, QtUi& ui, MainWindow& window) {
  window.set_command(kCommandRemoveRecipients,
                     [&app, &ui, &window] { remove_recipients_command(app, ui, window); });
  // A disabled menu item takes no keys: F6 without a project is this
  // shortcut's, and it beeps.
  QAction* item = window.action(kCommandRemoveRecipients);
  auto* shortcut = new QShortcut(QKeySequence(Qt::Key_F6), &window);
  shortcut->setObjectName("remove_recipients_beep");
  shortcut->setEnabled(item && !item->isEnabled());
  QObject::connect(shortcut, &QShortcut::activated, &window,
                   [&app, &ui, &window] { remove_recipients_command(app, ui, window); });
  if (item) {
    QObject::connect(item, &QAction::enabledChanged, shortcut,
                     [shortcut](bool enabled) { shortcut->setEnabled(!enabled); });
  }
}

}  // namespace tessaline
