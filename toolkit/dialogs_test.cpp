#include "toolkit/dialogs.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QTimer>

#include "storage/test_directory.h"
#include "toolkit/dialog_hooks.h"
#include "toolkit/testing/window_test.h"

namespace tessaline {
namespace {

const QString kProjects = "Tessaline Mailer Project Files (*.ZQJ)";
const QString kAll = "All Files (*.*)";

TEST(FileFilters, PatternsMatchWithoutRegardToCase) {
  struct Case {
    QString name;
    QString filter;
    bool matches;
  } cases[] = {
      {"mailing.ZQJ", kProjects, true},
      {"mailing.zqj", kProjects, true},
      {"Mailing.Zqj", kProjects, true},
      {"mailing.zqj.bak", kProjects, false},
      {"mailing.BAK", kProjects, false},
      {"zqj", kProjects, false},
      {"README", kAll, true},  // "All Files" are all files, dot or none
      {"list.txt", kAll, true},
      {"page.HTM", "HTML Files (*.htm *.html)", true},
      {"page.html", "HTML Files (*.htm;*.html)", true},
      {"page.txt", "HTML Files (*.htm *.html)", false},
      {"a1.pdf", "Prices (a?.pdf)", true},
      {"anything", "No patterns ()", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.toStdString() + " / " + c.filter.toStdString());
    EXPECT_EQ(dialogs::matches_filter(c.name, c.filter), c.matches);
  }
  EXPECT_EQ(dialogs::filter_patterns("HTML Files (*.htm *.html)"),
            (QStringList{"*.htm", "*.html"}));
}

// The file names the open dialog lists, read from its view once the
// folder has been read.
QStringList listed_names(QFileDialog* dialog, int expected) {
  QStringList names;
  QElapsedTimer waited;
  waited.start();
  while (waited.elapsed() < 10000) {
    QApplication::processEvents(QEventLoop::AllEvents, 50);
    auto* view = dialog->findChild<QAbstractItemView*>("listView");
    if (view == nullptr) continue;
    QAbstractItemModel* model = view->model();
    QModelIndex root = view->rootIndex();
    names.clear();
    for (int row = 0; row < model->rowCount(root); ++row) {
      names << model->index(row, 0, root).data().toString();
    }
    if (names.size() >= expected) break;
  }
  names.sort();
  return names;
}

TEST(FileDialogs, TheProjectFilterListsLowerCaseFilesAndAllFilesListsEverything) {
  testing::test_application();
  dialog_hooks::set_active(false);
  TestDirectory folder;
  ASSERT_TRUE(folder.ok());
  ASSERT_TRUE(folder.put("A.ZQJ", ""));
  ASSERT_TRUE(folder.put("b.zqj", ""));
  ASSERT_TRUE(folder.put("notes.txt", ""));
  ASSERT_TRUE(folder.put("README", ""));

  QStringList with_projects, with_all;
  QString title;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    title = dialog->windowTitle();
    EXPECT_EQ(dialog->nameFilters(), (QStringList{kProjects, kAll}));
    with_projects = listed_names(dialog, 2);
    dialog->selectNameFilter(kAll);
    Q_EMIT dialog->filterSelected(kAll);
    with_all = listed_names(dialog, 4);
    dialog->reject();
  });
  QString chosen = dialogs::open_file(nullptr, "Open Project", QString::fromUtf8(folder.path().c_str()),
                                      {kProjects, kAll});
  EXPECT_TRUE(chosen.isEmpty());
  EXPECT_EQ(title, "Open Project");
  EXPECT_EQ(with_projects, (QStringList{"A.ZQJ", "b.zqj"}));
  EXPECT_EQ(with_all, (QStringList{"A.ZQJ", "README", "b.zqj", "notes.txt"}));
}

TEST(FileDialogs, HooksAnswerInOrderAndRecordWhatWasAsked) {
  testing::test_application();
  dialog_hooks::set_active(true);
  dialog_hooks::answer_file("/tmp/x.zqj");
  dialog_hooks::answer_files({"/tmp/a.pdf", "/tmp/b.pdf"});
  dialog_hooks::answer_file("");
  EXPECT_EQ(dialogs::open_file(nullptr, "Open Project", "/tmp/", {kProjects, kAll}), "/tmp/x.zqj");
  EXPECT_EQ(dialogs::open_files(nullptr, "Choose the files to attach", "", {kAll}),
            (QStringList{"/tmp/a.pdf", "/tmp/b.pdf"}));
  EXPECT_EQ(dialogs::save_file(nullptr, "Save Project", "/tmp/x.zqj", {kProjects, kAll}, "ZQJ"),
            "");
  EXPECT_EQ(dialogs::save_file(nullptr, "Save Project", "/tmp/x.zqj", {kProjects, kAll}, "ZQJ"),
            "");
  EXPECT_EQ(dialog_hooks::unanswered(), 1);
  const dialog_hooks::Shown* open = dialog_hooks::last(dialog_hooks::Kind::kOpenFile);
  ASSERT_NE(open, nullptr);
  EXPECT_EQ(open->caption, "Open Project");
  EXPECT_EQ(open->start, "/tmp/");
  EXPECT_EQ(open->items, (QStringList{kProjects, kAll}));
  EXPECT_EQ(dialog_hooks::count(dialog_hooks::Kind::kSaveFile), 2);
  dialog_hooks::set_active(false);
}

}  // namespace
}  // namespace tessaline
