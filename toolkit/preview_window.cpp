#include "toolkit/preview_window.h"

#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSplitter>
#include <QTextBlock>
#include <QTextDocument>
#include <QVBoxLayout>

#include "storage/registry.h"
#include "app/project_fields.h"
#include "app/settings.h"
#include "recipients/project_values.h"
#include "toolkit/dialogs.h"
#include "toolkit/field_widgets.h"
#include "toolkit/main_window.h"
#include "toolkit/qt_text.h"
#include "toolkit/window_placement.h"

namespace tessaline {

namespace {

constexpr char kHelpKey[] = "help_key";  // the property that names a control's topic
constexpr char kAttachmentsChooser[] = "Choose files you wish to attach to the message";

struct ButtonInfo {
  const char* name;
  const char* text;  // "&" marks the accelerator
  const char* tooltip;
  const char* help;
  void (*run)(SendPreview& preview);  // null: Help
};
const ButtonInfo kButtons[] = {
    {"discard_message", "&Discard Message", "Discard this entire message.", kHelpDiscardMessage,
     [](SendPreview& preview) { preview.discard_message(); }},
    {"send_messages", "&Send Messages", "Send the messages.", kHelpPreviewSend,
     [](SendPreview& preview) { preview.send_messages(); }},
    {"abort", "&Abort", "Cancel the entire operation.", kProgramHelp,
     [](SendPreview& preview) { preview.abort(); }},
    {"test", "&Test", "Send the current message to yourself.", kHelpTestMessage,
     [](SendPreview& preview) { preview.test_send(); }},
    {"help", "&Help", "Get help on this dialog.", kHelpSendPreview, nullptr},
    {"view_log", "&View Log", "View the log.", kProgramHelp,
     [](SendPreview& preview) { preview.view_log(); }},
};

// A control of the window: its name, tooltip and help topic.
void name(QWidget* widget, const char* object_name, const char* tooltip) {
  widget->setObjectName(object_name);
  widget->setToolTip(QString::fromUtf8(tooltip));
  widget->setProperty(kHelpKey, QByteArray(kHelpSendPreview));
}

QLabel* label_for(QWidget* control, const char* text, QWidget* parent) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setObjectName(control->objectName() + ".label");
  label->setToolTip(control->toolTip());
  label->setBuddy(control);
  return label;
}

// Fills a box from its field when the field changed since the box was
// last filled.
void fill(QPlainTextEdit* box, String& shown, const String& value) {
  if (shown == value) return;
  shown = value;
  box->setPlainText(qt_text(value));
}

}  // namespace

// --- HtmlView -------------------------------------------------------------------

HtmlView::HtmlView(const SendPreview& preview, QWidget* parent)
    : QTextBrowser(parent), preview_(preview) {
  setOpenLinks(false);
  setOpenExternalLinks(false);
}

QVariant HtmlView::loadResource(int type, const QUrl& name) {
  if (type != QTextDocument::ImageResource && type != QTextDocument::StyleSheetResource) {
    return QVariant();
  }
  // "cid:NAME" and nothing more: the name as written, blanks and all.
  if (name.hasQuery() || name.hasFragment() || name.scheme().isEmpty()) return QVariant();
  String path =
      preview_.embedded_file(program_text(name.scheme() + ":" + name.path(QUrl::FullyDecoded)));
  if (path.empty()) return QVariant();
  QString file_name = qt_text(path);
  auto cached = loaded_.constFind(file_name);
  if (cached == loaded_.constEnd()) {
    // Read once: the view is drawn anew at every key typed into the source.
    // Only a plain file: a pipe or a device could keep the window waiting.
    QByteArray bytes;
    QFile file(file_name);
    if (QFileInfo(file_name).isFile() && file.size() <= kMaxResourceBytes &&
        file.open(QIODevice::ReadOnly)) {
      bytes = file.read(kMaxResourceBytes);
    }
    cached = loaded_.insert(file_name, bytes);
  }
  if (cached->isEmpty()) return QVariant();
  if (type == QTextDocument::StyleSheetResource) return QString::fromUtf8(*cached);
  return *cached;
}

// --- RecipientList ----------------------------------------------------------------

void RecipientList::keyPressEvent(QKeyEvent* event) {
  bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
  if (plain && on_step && (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down)) {
    on_step(event->key() == Qt::Key_Up ? -1 : 1);
    event->accept();
    return;
  }
  QListWidget::keyPressEvent(event);
}

// --- PreviewWindow ----------------------------------------------------------------

PreviewWindow::PreviewWindow(SendPreview& preview, QtUi& ui, QWidget* owner,
                             DocumentOpener help_opener)
    : QDialog(owner),
      preview_(preview),
      ui_(ui),
      help_opener_(help_opener),
      previous_window_(ui.main_window()),
      previous_focus_(ui.field_focus()) {
  setObjectName("preview");
  setWindowTitle("Preview");
  setWindowFlag(Qt::WindowMaximizeButtonHint, true);
  setProperty(kHelpKey, QByteArray(kProgramHelp));
  ui_.set_main_window(this, this);

  auto* layout = new QVBoxLayout(this);
  splitter_ = new QSplitter(Qt::Horizontal, this);
  splitter_->setObjectName("splitter");
  splitter_->setChildrenCollapsible(false);
  layout->addWidget(splitter_, 1);

  // The list of recipients.
  auto* left = new QWidget(splitter_);
  left->setObjectName("recipients_side");
  auto* left_layout = new QVBoxLayout(left);
  left_layout->setContentsMargins(0, 0, 0, 0);
  recipients_ = new RecipientList(left);
  name(recipients_, "recipients", "The recipients listed here will receive the message.");
  left_layout->addWidget(label_for(recipients_, "Recipients", left));
  left_layout->addWidget(recipients_, 1);
  auto* send_only = new QAction("Send to this recipient only", recipients_);
  send_only->setObjectName("send_to_recipient_only");
  connect(send_only, &QAction::triggered, this,
          [this] { command([this] { preview_.send_to_recipient_only(); }); });
  auto* test_yourself = new QAction("Test send this message to yourself", recipients_);
  test_yourself->setObjectName("test_send_to_yourself");
  connect(test_yourself, &QAction::triggered, this,
          [this] { command([this] { preview_.test_send(); }); });
  recipients_->addAction(send_only);
  recipients_->addAction(test_yourself);
  recipients_->setContextMenuPolicy(Qt::ActionsContextMenu);
  recipients_->on_step = [this](int step) {
    command([this, step] { preview_.select(preview_.selected() + step); });
  };
  connect(recipients_, &QListWidget::currentRowChanged, this, [this](int row) {
    if (showing_ || row < 0) return;
    command([this, row] { preview_.select(row); });
  });

  // The boxes of the selected message.
  auto* right = new QWidget(splitter_);
  right->setObjectName("message_side");
  auto* fields = new QVBoxLayout(right);
  fields->setContentsMargins(0, 0, 0, 0);
  const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);

  text_body_ = new QPlainTextEdit(right);
  name(text_body_, "text_body", "This is the text body for the selected recipient.");
  text_body_->setFont(fixed);
  QLabel* text_label = label_for(text_body_, "Text body:", right);
  fields->addWidget(text_label);
  fields->addWidget(text_body_, 3);
  write_edits(text_body_, &PreviewFields::text_body);

  html_body_ = new QPlainTextEdit(right);
  name(html_body_, "html_body", "This is the HTML body for the selected recipient.");
  html_body_->setFont(fixed);
  QLabel* html_label = label_for(html_body_, "HTML body:", right);
  auto* html_splitter = new QSplitter(Qt::Horizontal, right);
  html_splitter->setObjectName("html_splitter");
  html_splitter->setChildrenCollapsible(false);
  html_body_->setParent(html_splitter);
  html_splitter->addWidget(html_body_);
  html_view_ = new HtmlView(preview_, html_splitter);
  name(html_view_, "html_view", "The HTML body as the recipient will see it.");
  html_splitter->addWidget(html_view_);
  fields->addWidget(html_label);
  fields->addWidget(html_splitter, 3);
  write_edits(html_body_, &PreviewFields::html_body);
  connect(html_body_, &QPlainTextEdit::textChanged, this,
          [this] { html_view_->setHtml(html_body_->toPlainText()); });

  cc_ = new QLineEdit(right);
  const ProjectFieldInfo* cc_field = find_project_field(kFieldCc);
  name(cc_, "cc", cc_field ? cc_field->help_text : "");
  auto* cc_row = new QHBoxLayout;
  cc_row->addWidget(label_for(cc_, "CC:", right));
  cc_row->addWidget(cc_, 1);
  fields->addLayout(cc_row);
  connect(cc_, &QLineEdit::textChanged, this, [this] {
    if (showing_) return;
    shown_.cc = program_text(cc_->text());
    preview_.fields().cc = shown_.cc;
  });

  attachments_ = new TextEditor(right);
  name(attachments_, "attachments",
       "These files will be attached to this message only.  This allows you to customize the "
       "attachments for this recipient.");
  attachments_->setTabChangesFocus(true);
  auto* verify = new QAction("Verify all attachments", attachments_);
  verify->setObjectName("verify_all_attachments");
  connect(verify, &QAction::triggered, this,
          [this] { command([this] { preview_.verify_attachments(); }); });
  attachments_->extra = {verify};
  auto* choose = new QPushButton("Add files...", right);
  name(choose, "attachments.choose", kAttachmentsChooser);
  choose->setAutoDefault(false);
  connect(choose, &QPushButton::clicked, this, [this] { add_attachments(); });
  fields->addWidget(label_for(attachments_, "Attachments:", right));
  auto* attachments_row = new QHBoxLayout;
  attachments_row->addWidget(attachments_, 1);
  auto* chooser_column = new QVBoxLayout;
  chooser_column->addWidget(choose);
  chooser_column->addStretch(1);
  attachments_row->addLayout(chooser_column);
  fields->addLayout(attachments_row, 1);
  write_edits(attachments_, &PreviewFields::attachments);

  // A box the project has no body for is not shown at all.
  text_label->setVisible(preview_.has_text_body());
  text_body_->setVisible(preview_.has_text_body());
  html_label->setVisible(preview_.has_html_body());
  html_splitter->setVisible(preview_.has_html_body());

  splitter_->addWidget(left);
  splitter_->addWidget(right);
  splitter_->setStretchFactor(1, 1);

  auto* buttons = new QHBoxLayout;
  for (const ButtonInfo& info : kButtons) {
    auto* button = new QPushButton(QString::fromUtf8(info.text), this);
    button->setObjectName(info.name);
    button->setToolTip(QString::fromUtf8(info.tooltip));
    button->setProperty(kHelpKey, QByteArray(info.help));
    // Return in a box must not send the messages.
    button->setAutoDefault(false);
    buttons->addWidget(button);
    auto run = info.run;
    connect(button, &QPushButton::clicked, this, [this, run] {
      if (run == nullptr) {
        help();
        return;
      }
      command([this, run] { run(preview_); });
    });
  }
  buttons->insertStretch(3, 1);  // the commands that end the review apart from the rest
  layout->addLayout(buttons);

  auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
  f1->setObjectName("help_shortcut");
  connect(f1, &QShortcut::activated, this, [this] {
    // The topic of the control with the focus, or of the window.
    for (QWidget* widget = focusWidget(); widget != nullptr; widget = widget->parentWidget()) {
      QVariant topic = widget->property(kHelpKey);
      if (topic.isValid()) {
        open_help(ui_, topic.toByteArray().constData(), help_opener_);
        return;
      }
    }
    open_help(ui_, kProgramHelp, help_opener_);
  });

  restore_layout();
  show_preview();
  recipients_->setFocus(Qt::OtherFocusReason);
}

PreviewWindow::~PreviewWindow() { ui_.set_main_window(previous_window_, previous_focus_); }

void PreviewWindow::write_edits(QPlainTextEdit* box, String PreviewFields::*field) {
  connect(box, &QPlainTextEdit::textChanged, this, [this, box, field] {
    if (showing_) return;
    shown_.*field = program_text(box->toPlainText());
    preview_.fields().*field = shown_.*field;
  });
}

void PreviewWindow::run() {
  if (preview_.closed()) return;
  exec();
}

void PreviewWindow::command(const std::function<void()>& run) {
  run();
  show_preview();
  if (preview_.closed()) done(preview_.result_send() ? Accepted : Rejected);
}

void PreviewWindow::show_preview() {
  showing_ = true;
  const MessageQueue& queue = preview_.queue();
  bool same = recipients_->count() == queue.count();
  for (int i = 0; same && i < queue.count(); ++i) {
    same = recipients_->item(i)->text() == qt_text(queue[i].recipient);
  }
  if (!same) {
    recipients_->clear();
    for (const Message& message : queue) recipients_->addItem(qt_text(message.recipient));
  }
  recipients_->setCurrentRow(preview_.selected());
  if (preview_.selected() < 0) recipients_->clearSelection();

  const PreviewFields& fields = preview_.fields();
  fill(text_body_, shown_.text_body, fields.text_body);
  fill(html_body_, shown_.html_body, fields.html_body);
  fill(attachments_, shown_.attachments, fields.attachments);
  if (shown_.cc != fields.cc) {
    shown_.cc = fields.cc;
    cc_->setText(qt_text(fields.cc));
  }
  showing_ = false;
}

void PreviewWindow::focus_field(const String& key, int caret) {
  if (key != kPreviewAttachmentsBox) {
    if (previous_focus_) previous_focus_->focus_field(key, caret);
    return;
  }
  // The check that asks for the box has selected the message that failed
  // and said why: the box gets the focus with the line marked.
  show_preview();
  attachments_->setFocus(Qt::OtherFocusReason);
  QTextBlock block = attachments_->document()->findBlockByNumber(preview_.marked_line().line);
  if (preview_.marked_line().line < 0 || !block.isValid()) return;
  QTextCursor cursor(block);
  cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  attachments_->setTextCursor(cursor);
  attachments_->ensureCursorVisible();
}

// A check may have selected another message before it says why: the box
// comes over that message.
void PreviewWindow::before_box() { show_preview(); }

void PreviewWindow::done(int result) {
  // Closed by Escape or from the title bar: that is Abort.
  if (!preview_.closed()) preview_.abort();
  save_layout();
  QDialog::done(result);
}

void PreviewWindow::help() { open_help(ui_, kHelpSendPreview, help_opener_); }

void PreviewWindow::add_attachments() {
  QStringList paths = dialogs::open_files(this, kAttachmentsChooser, QString(), {"All Files (*.*)"});
  if (paths.isEmpty()) return;
  QString text = attachments_->toPlainText();
  if (!text.isEmpty() && !text.endsWith('\n')) text += '\n';
  text += paths.join('\n');
  attachments_->setPlainText(text);  // written into the preview as any edit
  attachments_->moveCursor(QTextCursor::End);
}

void PreviewWindow::restore_layout() {
  resize(900, 640);
  splitter_->setSizes({220, 680});
  restore_placement(*this, kPreviewPositionSetting.name);
  if (registry::open_software_key(kWindowsKey, true, registry::kOpenOnly) ==
      registry::kOpenFailed) {
    return;
  }
  int list_width = registry::get_int(kPreviewSplitterSetting.name, 0);
  registry::close_key();
  if (list_width > 0) splitter_->setSizes({list_width, std::max(1, width() - list_width)});
}

void PreviewWindow::save_layout() {
  save_placement(*this, kPreviewPositionSetting.name);
  if (registry::open_software_key(kWindowsKey) == registry::kOpenFailed) return;
  QList<int> sizes = splitter_->sizes();
  if (!sizes.isEmpty() && sizes[0] > 0) registry::set_int(kPreviewSplitterSetting.name, sizes[0]);
  registry::close_key();
}

void plug_preview_window(QtUi& ui, MainWindow& window) {
  window.set_review([&ui, &window](SendPreview& preview) {
    PreviewWindow preview_window(preview, ui, &window);
    preview_window.run();
  });
}

}  // namespace tessaline
