// preview_window.h - the Preview window of a send: the queued messages,
// the boxes of the selected one, and the preview's commands.
//
// A thin window over SendPreview (send/preview.h), which decides
// everything: the window shows its queue as the list "Recipients" and its
// fields() in the boxes "Text body:", "HTML body:", "CC:" and
// "Attachments:" (the bodies' boxes hidden when the project has no such
// body), writes every edit of a box into fields() at once, and after every
// command shows the queue, the selection and the boxes again. Moving the
// selection with the mouse, or with Up and Down (which wrap around at the
// ends), calls SendPreview::select(). The buttons, in screen order, are
// Discard Message, Send Messages, Abort, Test, Help and View Log; the
// list's context menu adds "Send to this recipient only" and "Test send
// this message to yourself", the Attachments box's "Verify all
// attachments". The window closes when SendPreview::closed() turns true;
// closing it otherwise (Escape, the title bar) is Abort. Help and F1 open
// the manual at the help topic of the control with the focus ("send
// preview" for most of them).
//
// Beside the HTML source a rendered view (HtmlView) shows the message as
// the recipient's mail program would, kept in step with every edit of the
// source.
//
// While the window exists, the port's boxes (toolkit/qt_ui.h) are shown
// over it, and its focus requests come to it: kPreviewAttachmentsBox
// focuses the Attachments box and selects the line that
// SendPreview::marked_line() points at; other keys go to the window that
// took them before. The window's placement and the width of the
// recipient list are kept in the registry as "PreviewPosition" and
// "PreviewSplitter" (app/settings.h), written when it closes and read
// when it opens.
//
// Every widget and action has an object name: "recipients", "text_body",
// "html_body", "html_view", "cc", "attachments", "attachments.choose",
// "splitter" (between "recipients_side" and "message_side"),
// "html_splitter", the labels NAME ".label", the buttons
// "discard_message", "send_messages", "abort", "test", "help", "view_log",
// the actions "send_to_recipient_only", "test_send_to_yourself",
// "verify_all_attachments", and F1's "help_shortcut".
//
// Not for: the rules of the preview (send/preview.h), the send itself
// (send/send_operation.h), when the preview opens (the send's review step
// through Application::review()).
//
// Failures: those of the commands, shown through the port by SendPreview.
#pragma once

#include <functional>

#include <QByteArray>
#include <QDialog>
#include <QHash>
#include <QListWidget>
#include <QTextBrowser>

#include "core/string.h"
#include "send/preview.h"
#include "app/help.h"
#include "toolkit/qt_ui.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSplitter;

namespace tessaline {

class MainWindow;
class TextEditor;

// The rendered HTML body. It loads nothing from the network nor from the
// disk at large: an address is served only when it names one of the
// message's embedded files ("cid:NAME", SendPreview::embedded_file()), as
// an image or a style sheet of at most kMaxResourceBytes; every other
// address gives nothing. Each file is read once, when first shown. Links
// are not followed.
class HtmlView : public QTextBrowser {
 public:
  static constexpr qint64 kMaxResourceBytes = 16 * 1024 * 1024;
  HtmlView(const SendPreview& preview, QWidget* parent);
  QVariant loadResource(int type, const QUrl& name) override;

 private:
  const SendPreview& preview_;
  QHash<QString, QByteArray> loaded_;  // by path; empty: not served
};

// The recipient list: Up and Down step through the queue with wrap-around.
class RecipientList : public QListWidget {
 public:
  explicit RecipientList(QWidget* parent) : QListWidget(parent) {}
  std::function<void(int step)> on_step;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

class PreviewWindow : public QDialog, public FieldFocus {
 public:
  // `owner` (may be null) is the window the preview is shown over.
  // `help_opener` opens the manual (null: the desktop's program).
  PreviewWindow(SendPreview& preview, QtUi& ui, QWidget* owner,
                DocumentOpener help_opener = nullptr);
  ~PreviewWindow() override;

  // Shows the window and runs it modally until the preview is closed.
  void run();

  RecipientList* recipients() const { return recipients_; }
  QPlainTextEdit* text_body() const { return text_body_; }
  QPlainTextEdit* html_body() const { return html_body_; }
  HtmlView* html_view() const { return html_view_; }
  QLineEdit* cc() const { return cc_; }
  TextEditor* attachments() const { return attachments_; }
  QSplitter* splitter() const { return splitter_; }

  // --- FieldFocus ---
  void focus_field(const String& key, int caret) override;
  void before_box() override;

 protected:
  void done(int result) override;

 private:
  // Runs a command of the preview, then shows it again, and closes the
  // window when the preview is closed.
  void command(const std::function<void()>& run);
  // Every edit of the box goes into that field of the preview at once.
  void write_edits(QPlainTextEdit* box, String PreviewFields::*field);
  // The queue, the selection and the boxes as the preview holds them.
  void show_preview();
  void help();
  void add_attachments();
  void restore_layout();
  void save_layout();

  SendPreview& preview_;
  QtUi& ui_;
  DocumentOpener help_opener_;
  QWidget* previous_window_;
  FieldFocus* previous_focus_;
  bool showing_ = false;  // the window itself is filling the widgets

  RecipientList* recipients_ = nullptr;
  QPlainTextEdit* text_body_ = nullptr;
  QPlainTextEdit* html_body_ = nullptr;
  HtmlView* html_view_ = nullptr;
  QLineEdit* cc_ = nullptr;
  TextEditor* attachments_ = nullptr;
  QSplitter* splitter_ = nullptr;

  // What each box was last given from the preview's fields (after an edit,
  // what the edit wrote there): a box is filled anew only when its field
  // changed, so a command leaves the caret and the undo history of a box
  // it did not change alone.
  PreviewFields shown_;
};

// Plugs the window into the main window's review step: a Normal or Last
// Recipient Only send from the window then stops in the preview.
void plug_preview_window(QtUi& ui, MainWindow& window);

}  // namespace tessaline
