#include "toolkit/dialog_hooks.h"

namespace tessaline::dialog_hooks {

namespace {

struct Hooks {
  bool active = false;
  QList<Answer> answers;
  QList<int> buttons;
  QList<QPair<QString, bool>> inputs;
  QList<int> choices;
  QList<QStringList> files;
  QList<Shown> shown;
  std::function<void(const Shown&)> look;
  int unanswered = 0;
};

Hooks& hooks() {
  static Hooks instance;
  return instance;
}

template <typename T>
bool take(QList<T>& queue, T& out) {
  if (queue.isEmpty()) {
    ++hooks().unanswered;
    return false;
  }
  out = queue.takeFirst();
  return true;
}

}  // namespace

void set_active(bool on) {
  hooks() = Hooks();
  hooks().active = on;
}

bool active() { return hooks().active; }

void answer(Answer reply) { hooks().answers.append(reply); }
void answer_button(int index) { hooks().buttons.append(index); }
void answer_input(const QString& text) { hooks().inputs.append({text, true}); }
void cancel_input() { hooks().inputs.append({QString(), false}); }
void answer_choice(int index) { hooks().choices.append(index); }
void answer_file(const QString& path) {
  hooks().files.append(path.isEmpty() ? QStringList() : QStringList{path});
}
void answer_files(const QStringList& paths) { hooks().files.append(paths); }

const QList<Shown>& shown() { return hooks().shown; }

const Shown* last(Kind kind) {
  const QList<Shown>& all = hooks().shown;
  for (qsizetype i = all.size() - 1; i >= 0; --i) {
    if (all[i].kind == kind) return &all[i];
  }
  return nullptr;
}

int count(Kind kind) {
  int n = 0;
  for (const Shown& s : hooks().shown) n += s.kind == kind;
  return n;
}

int unanswered() { return hooks().unanswered; }

void clear_shown() { hooks().shown.clear(); }

void on_show(std::function<void(const Shown&)> look) { hooks().look = std::move(look); }

void record(const Shown& shown) {
  hooks().shown.append(shown);
  if (hooks().look) hooks().look(shown);
}

bool take_answer(Answer& reply) { return take(hooks().answers, reply); }

bool take_button(int& index) { return take(hooks().buttons, index); }

bool take_input(QString& text, bool& accepted) {
  QPair<QString, bool> entry;
  if (!take(hooks().inputs, entry)) return false;
  text = entry.first;
  accepted = entry.second;
  return true;
}

bool take_choice(int& index) { return take(hooks().choices, index); }

bool take_files(QStringList& paths) { return take(hooks().files, paths); }

}  // namespace tessaline::dialog_hooks
