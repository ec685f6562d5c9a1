// tag_processor.h - turns a message body into what one recipient receives.
//
// Bodies carry data tags between "[[" and "]]". process_tags() copies the
// text outside the tags, carries out the statements
//
//   [[var name = expr]]   [[let name = expr]]
//   [[if cond]] [[elseif cond]] [[else]] [[endif]]   [[while cond]] [[endw]]
//
// (keywords in any letter case; an elseif only ever switches its block's
// text on, so after a condition that held, the text behind every later
// elseif is produced too, and else switches the block over) and replaces
// every other tag by the value of its expression, as text: [[expr:format]]
// formats a date with the format (see core/date.h) or, for any other value,
// puts the format text in when the value is empty;
// [[expr|key|value|key|value|other]] maps the value. In the HTML body
// inserted values are HTML-encoded (merge/html_encode.h). The subject and
// the unsubscribe address of a message are personalised the same way: in
// the subject values go in as they are (the message builder keeps its
// header a single line), in the unsubscribe address they are
// percent-encoded, so that a value with blanks, "&" or "?" stays one value
// of the URL.
//
// The variable table lives in the processor and across calls: a send
// empties it once (clear_variables) and sets the basic tags (-Recipient-,
// -Now-, ...) for each recipient with set_variable; what a tag sets is seen
// by later tags, later bodies and later recipients until set again.
//
// Not for: reading bodies from files, or deciding what to do after a
// failure (the send operation stops the send).
//
// Failures: the first error in a text is shown once through the Ui
// ("Error", or "Database Error" for a failed write of a column), the text's
// field is brought into view (a typed body, the subject or the unsubscribe
// address with the caret at the error, a body from a file by its file
// field), the text is left unchanged and the result is false.
#pragma once

#include <cstdint>

#include "core/containers.h"
#include "core/string.h"
#include "core/ui.h"
#include "core/var.h"
#include "merge/expression.h"
#include "merge/merge_ports.h"
#include "merge/string_parser.h"

namespace tessaline {

// One open [[if]] or [[while]] block.
struct IfStatement {
  bool condition = false;      // as last evaluated; toggled by else, raised by elseif
  int expression_position = 0; // in the tag's contents, just behind the keyword
  bool parent_active = false;  // opened while producing
  bool is_while = false;
  int resume_position = 0;     // in the body, just behind the opening tag's "]]"
  int tag_offset = 0;          // in the body, of the opening tag's "[["
  String tag_text;             // the opening tag's contents
};

// The texts of a message that carry data tags.
enum class TagText { kTextBody, kHtmlBody, kSubject, kUnsubscribe };

class TagProcessor : private ExpressionContext {
 public:
  // The rounds all [[while]] loops of one body may go together: one
  // budget, so that nested loops cannot multiply their rounds (two loops
  // of 100,000 rounds each would be 10^10 rounds for every recipient).
  static constexpr int kMaxLoopRuns = 100000;
  // A personalised body may not grow beyond this many bytes.
  static constexpr int kMaxOutputLength = 64 << 20;

  TagProcessor(Ui& ui, MergeProject& project);

  // The start of a send.
  void clear_variables() { variables_.clear(); }
  void set_variable(const String& name, const Var& value);
  bool is_variable(const String& name) const { return variables_.contains(name); }
  const Var* variable(const String& name) const { return variables_.find(name); }
  const HashTable<Var, String>& variables() const { return variables_; }

  // Personalises one text of a message for the current recipient; `row` is
  // the current database row, or null when the send has no database.
  bool process_tags(TagText kind, String& text, MergeRow* row);
  // The same for a body: html for the HTML body, else the text body.
  bool process_tags(bool html, String& body, MergeRow* row) {
    return process_tags(html ? TagText::kHtmlBody : TagText::kTextBody, body, row);
  }

  // Lower limits, for tests and fuzzing.
  void set_limits(int max_loop_runs, int max_output_length) {
    max_loop_runs_ = max_loop_runs;
    max_output_length_ = max_output_length;
  }

 private:
  // ExpressionContext
  const Var* find_variable(const String& name) override { return variables_.find(name); }
  bool read_column(const String& name, Var& value) override;
  int base_position() const override { return base_; }
  void report_error(int offset, const String& message) override;

  bool producing() const;
  bool fail_at_parser(const String& message);
  bool block_statement(const String& keyword);
  bool assignment(bool is_let);
  bool write_column(const String& name, const Var& value);
  bool value_tag();
  bool append_output(const char* text, int n);

  Ui& ui_;
  MergeProject& project_;
  HashTable<Var, String> variables_;
  int max_loop_runs_ = kMaxLoopRuns;
  int max_output_length_ = kMaxOutputLength;

  // The state of one call.
  TagText kind_ = TagText::kTextBody;
  MergeRow* row_ = nullptr;
  int base_ = 0;           // offset in the body of the current tag's contents
  int tag_offset_ = 0;     // offset in the body of the current tag's "[["
  int scan_ = 0;           // where scanning the body goes on
  Stack<IfStatement> blocks_;
  StringParser parser_;
  String output_;
  int output_length_ = 0;  // bytes of output_ in use
  int loop_rounds_ = 0;    // rounds gone by all loops of this body
};

}  // namespace tessaline
