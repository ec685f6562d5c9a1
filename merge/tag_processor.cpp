#include "merge/tag_processor.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "core/containers.h"
#include "core/string.h"
#include "core/ui.h"
#include "core/var.h"
#include "merge/expression.h"
#include "merge/html_encode.h"
#include "merge/string_parser.h"

namespace tessaline {

namespace {

// The split of a value tag's contents.
struct ValueTag {
  String expression;
  String format;   // behind the first colon outside text literals
  String mapping;  // behind the first vertical bar
};

// A vertical bar anywhere starts the mapping. Otherwise the first colon that
// is not inside a "text literal" starts the format, so formats may hold
// colons themselves ("h:ii").
ValueTag split_value_tag(const String& contents) {
  ValueTag tag;
  int bar = contents.find('|');
  if (bar >= 0) {
    tag.expression = contents.substr(0, bar);
    tag.mapping = contents.substr(bar + 1);
    return tag;
  }
  bool in_literal = false;
  const char* s = contents.c_str();
  for (int i = 0; i < contents.length(); ++i) {
    char c = s[i];
    if (c == '"') {
      in_literal = !in_literal;  // a doubled quote closes and reopens
    } else if (c == ':' && !in_literal) {
      tag.expression = contents.substr(0, i);
      tag.format = contents.substr(i + 1);
      return tag;
    }
  }
  tag.expression = contents;
  return tag;
}

// key|replacement|key|replacement|...[|other]
String map_value(const String& text, const String& mapping) {
  Vector<String> items;
  int start = 0;
  for (;;) {
    int bar = mapping.find('|', start);
    if (bar < 0) {
      items.append(mapping.substr(start));
      break;
    }
    items.append(mapping.substr(start, bar - start));
    start = bar + 1;
  }
  const int pairs = items.count() / 2;
  for (int i = 0; i < pairs; ++i) {
    if (items[2 * i] == text) return items[2 * i + 1];
  }
  return items.count() % 2 ? items.last() : String();
}

bool is_blank(const String& text) { return text.find_not_any(" \t\r\n") < 0; }

// Where `what` first occurs at or after start, or -1.
int find_text(const String& text, const char* what, int start) {
  size_t at = text.view().find(what, static_cast<size_t>(start));
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// What the messages call the text.
const char* text_name(TagText kind) {
  switch (kind) {
    case TagText::kSubject: return "subject";
    case TagText::kUnsubscribe: return "unsubscribe address";
    case TagText::kTextBody:
    case TagText::kHtmlBody: break;
  }
  return "message body";
}

// A value as one component of a URL: everything but letters, digits and
// "-._~" in its %XX form.
void append_url_encoded(String& out, const String& text) {
  static const char kHex[] = "0123456789ABCDEF";
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (is_letter_or_digit(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.append(c);
    } else {
      out.append('%');
      out.append(kHex[u >> 4]);
      out.append(kHex[u & 15]);
    }
  }
}

}  // namespace

TagProcessor::TagProcessor(Ui& ui, MergeProject& project) : ui_(ui), project_(project) {
  variables_.init(64);
}

void TagProcessor::set_variable(const String& name, const Var& value) {
  variables_.find_or_add(name) = value;
  variables_.rehash();
}

bool TagProcessor::read_column(const String& name, Var& value) {
  return row_ && row_->read_column(name, value);
}

void TagProcessor::report_error(int offset, const String& message) {
  show_error(ui_, message);
  const bool html = kind_ == TagText::kHtmlBody;
  if (kind_ == TagText::kSubject) {
    ui_.focus_field_at(kSubjectField, offset);
  } else if (kind_ == TagText::kUnsubscribe) {
    ui_.focus_field_at(kUnsubscribeField, offset);
  } else if (project_.body_from_file(html)) {
    ui_.focus_field(html ? kHtmlBodyFileField : kTextBodyFileField);
  } else {
    ui_.focus_field_at(html ? kHtmlBodyField : kTextBodyField, offset);
  }
}

bool TagProcessor::producing() const {
  if (blocks_.empty()) return true;
  const IfStatement& top = blocks_[blocks_.count() - 1];
  return top.condition && top.parent_active;
}

bool TagProcessor::fail_at_parser(const String& message) {
  report_error(base_ + parser_.position(), message);
  return false;
}

bool TagProcessor::append_output(const char* text, int n) {
  if (n <= 0) return true;
  if (n > max_output_length_ - output_length_) {
    // Only a loop can make a body this long: point at the innermost block.
    const int at = blocks_.empty() ? tag_offset_ : blocks_[blocks_.count() - 1].tag_offset;
    report_error(at, String::formatted(
        "The personalized %s has grown beyond %d bytes and has been stopped.  "
        "Check that every [[WHILE]] loop ends.", text_name(kind_), max_output_length_));
    return false;
  }
  if (output_length_ + n > output_.length()) {
    // Grow geometrically: String itself only keeps a few spare bytes.
    int size = output_.length() * 2;
    if (size < 256) size = 256;
    if (size > max_output_length_) size = max_output_length_;
    if (size < output_length_ + n) size = output_length_ + n;
    output_.set_length(size);
  }
  std::memcpy(output_.data() + output_length_, text, static_cast<size_t>(n));
  output_length_ += n;
  return true;
}

bool TagProcessor::process_tags(TagText kind, String& body, MergeRow* row) {
  kind_ = kind;
  row_ = row;
  blocks_.clear();
  output_.clear();
  output_length_ = 0;
  loop_rounds_ = 0;
  scan_ = 0;
  tag_offset_ = 0;
  const char* const text = body.c_str();
  for (;;) {
    const int open = find_text(body, "[[", scan_);
    if (producing() && !append_output(text + scan_, (open < 0 ? body.length() : open) - scan_)) {
      return false;
    }
    if (open < 0) break;
    tag_offset_ = open;
    if (project_.send_mode() == kSendIdentical) {
      report_error(open, String::formatted("The %s cannot contain data tags if the send mode "
                                           "is \"Identical\".", text_name(kind_)));
      return false;
    }
    const int close = find_text(body, "]]", open + 2);
    if (close < 0) {
      report_error(open, String::formatted(
          "The %s contains an unclosed data tag at position %d.  Every occurrence of the "
          "string \"[[\" must be followed by \"]]\".", text_name(kind_), open + 2));
      return false;
    }
    scan_ = close + 2;
    base_ = open + 2;
    parser_ = StringParser(body.substr(base_, close - base_));
    parser_.skip_white();

    String keyword;
    bool ok = true;
    bool statement = false;
    if (parser_.match_pattern(keyword, kKeywordPattern)) {
      keyword.to_lower();
      statement = keyword == "if" || keyword == "while" || keyword == "elseif" ||
                  keyword == "else" || keyword == "endif" || keyword == "endw" ||
                  keyword == "var" || keyword == "let";
    }
    if (!statement) {
      ok = !producing() || value_tag();
    } else if (keyword == "var" || keyword == "let") {
      ok = !producing() || assignment(keyword == "let");
    } else {
      ok = block_statement(keyword);
    }
    if (!ok) return false;
  }
  if (!blocks_.empty()) {
    report_error(blocks_[blocks_.count() - 1].tag_offset,
                 "Error: unclosed IF statement.  There must be one [[ENDIF]] tag for every "
                 "[[IF]] tag.");
    return false;
  }
  output_.set_length(output_length_);
  body = std::move(output_);
  output_ = String();
  return true;
}

bool TagProcessor::block_statement(const String& keyword) {
  if (keyword == "if" || keyword == "while") {
    IfStatement block;
    block.expression_position = parser_.position();
    block.parent_active = producing();
    // Text behind the condition is ignored.
    if (block.parent_active && !evaluate_condition(*this, parser_, block.condition)) return false;
    block.is_while = keyword == "while";
    block.resume_position = scan_;
    block.tag_offset = tag_offset_;
    block.tag_text = parser_.text();
    blocks_.push(std::move(block));
    return true;
  }
  if (keyword == "elseif") {
    if (blocks_.empty()) {
      return fail_at_parser("Unexpected [[ELSEIF]] tag encountered.  No matching [[IF]] "
                            "statement could be found.");
    }
    IfStatement& block = blocks_.top();
    if (!block.parent_active) return true;
    bool condition = false;
    if (!evaluate_condition(*this, parser_, condition)) return false;
    // An elseif only ever switches text on: after a branch whose condition
    // held, the text behind every later elseif is produced as well. Stored
    // projects are written for this rule; it is not the first-true-branch
    // rule of other languages.
    if (condition) block.condition = true;
    return true;
  }
  if (keyword == "else") {
    if (blocks_.empty()) {
      return fail_at_parser("Unexpected [[ELSE]] tag encountered.  No matching [[IF]] "
                            "statement could be found.");
    }
    // Switches the block over, also a while block's; a second else switches
    // it back.
    IfStatement& block = blocks_.top();
    block.condition = !block.condition;
    return true;
  }
  if (keyword == "endif") {
    if (blocks_.empty()) {
      return fail_at_parser("Unexpected [[ENDIF]] tag encountered.  No matching [[IF]] "
                            "statement was found.");
    }
    blocks_.discard_top();
    return true;
  }
  // endw
  if (blocks_.empty()) {
    return fail_at_parser("Unexpected [[ENDW]] tag encountered.  No matching [[WHILE]] "
                          "statement was found.");
  }
  IfStatement& block = blocks_.top();
  if (!block.is_while) {
    report_error(block.tag_offset, "IF-statement must close before [[ENDW]] tag.");
    return false;
  }
  if (!(block.condition && block.parent_active)) {
    blocks_.discard_top();
    return true;
  }
  if (++loop_rounds_ >= max_loop_runs_) {
    report_error(block.tag_offset, String::formatted(
        "The [[WHILE]] loops of this message body have gone round %d times in all and have "
        "been stopped at the loop [[%s]].  The condition of every loop must become false for "
        "the loop to end.", loop_rounds_, block.tag_text.c_str()));
    return false;
  }
  // Round again: re-read the condition in the opening tag, where errors in
  // it are reported, and rescan the text behind that tag. When the
  // condition is now false, the rescan produces nothing and reaches this
  // [[endw]] again, which then closes the block.
  parser_ = StringParser(block.tag_text);
  parser_.set_position(block.expression_position);
  base_ = block.tag_offset + 2;
  tag_offset_ = block.tag_offset;
  scan_ = block.resume_position;
  bool condition = false;
  if (!evaluate_condition(*this, parser_, condition)) return false;
  block.condition = condition;
  return true;
}

bool TagProcessor::assignment(bool is_let) {
  parser_.skip_white();
  String name;
  if (!parser_.match_pattern(name, kVariableNamePattern)) {
    return fail_at_parser(is_let ? "Variable or column name must follow the 'let' keyword."
                                 : "Variable name must follow the 'var' keyword.");
  }
  parser_.skip_white();
  if (!parser_.match_char('=')) {
    return fail_at_parser(is_let ? "Column/variable name must be followed by the \"=\" sign."
                                 : "Variable name must be followed by the \"=\" sign.");
  }
  if (!is_let && row_ && row_->has_column(name)) {
    return fail_at_parser(String::formatted(
        row_->writable()
            ? "Variable cannot be named '%s'.  A database column of that name already exists."
            : "Variable cannot be named '%s'.  A column of the recipient file has that name.",
        name.c_str()));
  }
  Var value;
  if (!evaluate_expression(*this, parser_, value)) return false;
  if (!is_let || is_variable(name)) {
    set_variable(name, value);
    return true;
  }
  if (row_ && row_->has_column(name)) {
    if (!row_->writable()) {
      return fail_at_parser(String::formatted(
          "The column '%s' is read from the recipient file and cannot be assigned.  Only "
          "database columns can be written with 'let'; use a variable of another name.",
          name.c_str()));
    }
    return write_column(name, value);
  }
  return fail_at_parser(String::formatted("Unknown variable/column name:\n%s", name.c_str()));
}

bool TagProcessor::write_column(const String& name, const Var& value) {
  String identity_column = project_.identity_column();
  if (is_blank(identity_column)) {
    return fail_at_parser("It is necessary to specify an \"Identity Column\" when assigning "
                          "values to a database column.");
  }
  Var identity;
  if (!row_->read_column(identity_column, identity)) {
    return fail_at_parser(String::formatted("The \"Identity Column\" is invalid:\n%s",
                                            identity_column.c_str()));
  }
  if (identity.kind() != kKindInteger) {
    return fail_at_parser(String::formatted("The \"Identity Column\" must be an integer:\n%s",
                                            identity_column.c_str()));
  }
  if (!row_->write_column(identity_column, identity.as_int(), name, value)) {
    ui_.error_box(row_->last_error(), "Database Error");
    return false;
  }
  return true;
}

bool TagProcessor::value_tag() {
  ValueTag tag = split_value_tag(parser_.text());
  parser_ = StringParser(std::move(tag.expression));
  parser_.skip_white();
  Var value;
  if (!evaluate_expression(*this, parser_, value)) return false;
  parser_.skip_white();
  if (!parser_.at_end()) return fail_at_parser("Syntax error:  no more characters were expected.");

  String text;
  if (value.is_date()) {
    text = value.formatted_date(tag.format.c_str());
  } else {
    text = value.as_text();
    if (text.empty()) text = tag.format;
  }
  if (!is_blank(tag.mapping)) text = map_value(text, tag.mapping);
  String encoded;
  switch (kind_) {
    case TagText::kTextBody:
    case TagText::kSubject:
      return append_output(text.c_str(), text.length());
    case TagText::kHtmlBody:
      append_html_encoded(encoded, text.c_str(), text.length());
      break;
    case TagText::kUnsubscribe:
      append_url_encoded(encoded, text);
      break;
  }
  return append_output(encoded.c_str(), encoded.length());
}

}  // namespace tessaline
