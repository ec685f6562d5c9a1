// screenshots - pictures of the main window's folders and of the About box,
// for people to look at (test code only).
//
//   toolkit_screenshots FOLDER
//
// Runs on a real display (the window test starts it under Xvfb), with the
// per-user files in a fresh folder of its own, on a project that uses most
// fields and a SQLite data source of its own (when the SQLite ODBC driver
// is there), so the Database folder is pictured in use and the others as
// they are without a database. Writes FOLDER/folder-N-NAME.png for each
// folder, FOLDER/remove-recipients.png and FOLDER/remove-report.png (the
// Remove Recipients window after a preview, and its report) and
// FOLDER/preview.png (the Preview window of a Normal send, with its text
// body, HTML source and rendered HTML) and FOLDER/about.png, and prints
// each path. Exit status 0 when all were
// written.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTimer>

#include "storage/test_directory.h"
#include "db/database.h"
#include "db/odbc_library.h"
#include "db/testing/test_data_sources.h"
#include "send/send_operation.h"
#include "app/application.h"
#include "toolkit/field_widgets.h"
#include "toolkit/main_window.h"
#include "toolkit/preview_window.h"
#include "toolkit/qt_text.h"
#include "toolkit/qt_ui.h"
#include "toolkit/remove_recipients_dialog.h"

namespace {

using namespace tessaline;

void fill(Project& p, const String& folder) {
  p.set_text("from", "Ann Smith <ann.smith@example.com>");
  p.set_text("subject", "Our spring newsletter, [[-FirstName-]]");
  p.set_text("reply", "newsletter@example.com");
  p.set_text("CC", "archive@example.com");
  p.set_flag("EliminateDuplicates", true);
  p.set_flag("use_recipient_file", true);
  p.set_text("recipient_file", folder + "/subscribers.txt");
  p.set_flag("use_recipient_text", true);
  p.set_text("recipient_text", "bob@example.com\ncy@example.org\n");
  p.set_flag("UseExclusionFile", true);
  p.set_text("ExclusionFile", folder + "/unsubscribed.txt");
  p.set_flag("use_body_text", true);
  p.set_text("body",
             "Dear [[-FirstName-]],\n\nSpring is here, and with it our new catalogue.\n\n"
             "[[IF -Index- = 1]]You are our first reader today![[ENDIF]]\n\nAnn");
  p.set_flag("use_html_text", true);
  p.set_text("html_body",
             "<html><body>\n<img src=\"cid:logo.png\">\n<h2>Our spring newsletter</h2>\n"
             "<p>Dear [[-FirstName-]],</p>\n<p>Spring is here, and with it our <b>new "
             "catalogue</b>.</p>\n<ul><li>Seeds</li><li>Tools</li></ul>\n<p>Ann</p>\n"
             "</body></html>");
  p.set_text("html_attach", folder + "/logo.png");
  p.set_text("attachments", folder + "/catalogue.pdf\n" + folder + "/prices-*.pdf");
  p.set_text("db_name", testing::TestDataSources::kSqliteName);
  p.set_text("table_name", "subscribers");
  p.set_text("recipient_col", "email");
  p.set_text("identity_col", "id");
  p.set_text("where", "country = 'NZ'");
  ClauseRow& clause = p.clauses().append();
  clause.column = "visits";
  clause.op = 4;
  clause.value = "3";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: toolkit_screenshots FOLDER\n");
    return 2;
  }
  TestDirectory home;
  if (!home.ok()) return 1;
  setenv("TESSALINE_HOME", home.path().c_str(), 1);
  QApplication qt(argc, argv);
  QString out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(out);

  testing::TestDataSources sources;
  bool with_database = sources.start(/*with_postgres=*/false) && iniz_gdb();
  if (with_database) {
    Database& db = database();
    with_database =
        db.open(testing::TestDataSources::kSqliteName) &&
        db.execute("CREATE TABLE subscribers (id INTEGER PRIMARY KEY, email VARCHAR(200), "
                   "first_name VARCHAR(50), visits INTEGER)");
    db.close();
  }

  QtUi ui;
  Application app(ui);
  app.set_database_available(with_database);
  app.set_smtp_server_field("smtp.example.com");
  MainWindow window(app, ui);
  window.cancel_auto_open();
  window.resize(820, 620);
  window.show();
  app.new_project();
  fill(app.fields(), home.path());
  window.refresh();

  int written = 0;
  auto save = [&written](QWidget* widget, const QString& path) {
    QApplication::processEvents();
    if (widget->grab().save(path)) {
      std::printf("%s\n", path.toLocal8Bit().constData());
      ++written;
    }
  };
  QTabWidget* folders = window.folders();
  for (int i = 0; i < folders->count(); ++i) {
    // The database in use on its own folder only: it sets the recipient
    // boxes aside.
    bool database_folder = QString(project_folder(i).title) == "Database";
    app.fields().set_flag("use_database", database_folder && with_database);
    window.refresh();
    folders->setCurrentIndex(i);
    QString name = folders->tabText(i).toLower().replace(' ', '-');
    save(&window, QString("%1/folder-%2-%3.png").arg(out).arg(i + 1).arg(name));
  }

  {
    home.put("subscribers.txt", "ann@example.com\nleaving@example.com\nbob@example.com\n");
    home.put("unsubscribed.txt", "old@example.com\nleaving@example.com\n");
    RemoveRecipientsDialog dialog(app, ui, &window);
    dialog.addresses()->setPlainText("leaving@example.com\nbob@example.com");
    dialog.show();
    dialog.run(/*preview=*/true);
    save(&dialog, out + "/remove-recipients.png");
    if (dialog.report_window()) save(dialog.report_window(), out + "/remove-report.png");
  }

  {
    // A Normal send stops in the preview, which is pictured and aborted.
    QImage logo(160, 48, QImage::Format_RGB32);
    logo.fill(QColor(46, 110, 160));
    {
      QPainter painter(&logo);
      painter.setPen(Qt::white);
      painter.setFont(QFont(painter.font().family(), 16, QFont::Bold));
      painter.drawText(logo.rect(), Qt::AlignCenter, "Spring");
    }
    logo.save(qt_text(home.path() + "/logo.png"));
    home.put("catalogue.pdf", "%PDF-1.4\n");
    home.put("prices-2026.pdf", "%PDF-1.4\n");
    app.fields().set_flag("Recycle", false);
    app.fields().set_flag("use_recipient_file", false);
    app.fields().set_text("recipient_text",
                          "Bob Brown <bob@example.com>\nCy Young <cy@example.org>\n"
                          "Dee Dale <dee@example.net>\n");
    app.fields().set_number("SendMode", SendOperation::kNormal);
    window.refresh();
    window.set_review([&](SendPreview& preview) {
      PreviewWindow shown(preview, ui, &window);
      shown.resize(1060, 760);
      shown.show();
      shown.attachments()->setPlainText(shown.attachments()->toPlainText() + "\n" +
                                        qt_text(home.path() + "/price list.pdf"));
      save(&shown, out + "/preview.png");
      preview.abort();
    });
    app.send();
  }

  // The About box is modal: it is pictured and closed from the event loop.
  QTimer::singleShot(300, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      save(box, out + "/about.png");
      box->accept();
    }
  });
  window.action("about")->trigger();

  app.close_project(Application::CloseMode::kDiscard);
  return written == folders->count() + 4 ? 0 : 1;
}
