// Strict decoders of the wire messages.
//
// nlohmann-json's SAX parser is the tokenizer; the handlers below turn its
// events straight into the message values, so no document tree is built. The
// handlers decide which problem is reported first, because a client (and the
// tests) should see the same error for the same text every time.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "app_lib/service_ipc/codec.h"
#include "app_lib/service_ipc/wire_names.h"
#include "app_lib/sys/text.h"

namespace app_lib::service_ipc {
namespace {

using Json = nlohmann::json;

// A pointer into the text that tells the handler how far the lexer has read,
// so errors raised by the handler can say where the problem is.
class TrackedCursor {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TrackedCursor() = default;
  TrackedCursor(const char* at, const char** mark) : at_(at), mark_(mark) {}

  reference operator*() const { return *at_; }
  TrackedCursor& operator++() {
    *mark_ = ++at_;
    return *this;
  }
  TrackedCursor operator++(int) {
    TrackedCursor before = *this;
    ++*this;
    return before;
  }
  friend bool operator==(const TrackedCursor& a, const TrackedCursor& b) { return a.at_ == b.at_; }

 private:
  const char* at_ = nullptr;
  const char** mark_ = nullptr;
};

// " at line L column C" for the byte at `offset` (clamped to the end, which is
// where an unexpected end of input is found). Lines and columns count from 1;
// columns count bytes.
std::string position_text(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  const std::size_t line =
      1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t last_break = before.rfind('\n');
  const std::size_t line_start = last_break == std::string_view::npos ? 0 : last_break + 1;
  return " at line " + std::to_string(line) + " column " + std::to_string(offset - line_start + 1);
}

// What a JSON value is, as error texts name it.
enum class Kind : std::uint8_t { Null, Boolean, Negative, Unsigned, Float, String, Array, Object };

struct Scalar {
  Kind kind;
  bool boolean = false;
  std::int64_t negative = 0;
  std::uint64_t unsigned_value = 0;
  const std::string* text = nullptr;  // the string, or the raw text of a float
};

bool looks_like_integer(std::string_view raw) {
  return raw.find_first_of(".eE") == std::string_view::npos;
}

// How much of a number's text an error quotes. A well-formed number may run
// to the whole 64 KiB of a request; its first digits are enough to find it.
constexpr std::size_t QUOTED_NUMBER_LIMIT = 32;

std::string quoted_number(std::string_view raw) {
  if (raw.size() <= QUOTED_NUMBER_LIMIT) return std::string(raw);
  return std::string(raw.substr(0, QUOTED_NUMBER_LIMIT)) + "…";
}

std::string describe(const Scalar& value) {
  switch (value.kind) {
    case Kind::Null:
      return "null";
    case Kind::Boolean:
      return value.boolean ? "boolean `true`" : "boolean `false`";
    case Kind::Negative:
      return "integer `" + std::to_string(value.negative) + "`";
    case Kind::Unsigned:
      return "integer `" + std::to_string(value.unsigned_value) + "`";
    case Kind::Float:
      // Integer text too large for 64 bits reaches us as a float; it is still
      // an integer as written.
      return (looks_like_integer(*value.text) ? "integer `" : "floating point `") +
             quoted_number(*value.text) + "`";
    case Kind::String:
      return "string \"" + *value.text + "\"";
    case Kind::Array:
      return "array";
    case Kind::Object:
      return "object";
  }
  return "value";
}

std::string invalid_type(const std::string& found, std::string_view expected) {
  std::string out = "invalid type: " + found + ", expected ";
  out += expected;
  return out;
}

std::string invalid_value(const std::string& found, std::string_view expected) {
  std::string out = "invalid value: " + found + ", expected ";
  out += expected;
  return out;
}

std::string missing_field(std::string_view name) {
  std::string out = "missing field `";
  out += name;
  out += '`';
  return out;
}

std::string duplicate_field(std::string_view name) {
  std::string out = "duplicate field `";
  out += name;
  out += '`';
  return out;
}

template <std::size_t N>
std::string unknown_variant(std::string_view found, const std::array<std::string_view, N>& names) {
  std::string out = "unknown variant `";
  out += found;
  out += "`, expected one of ";
  for (std::size_t i = 0; i < N; ++i) {
    if (i > 0) out += ", ";
    out += '`';
    out += names[i];
    out += '`';
  }
  return out;
}

// Reads an unsigned integer member of at most `max`. Anything written with a
// fraction or exponent, and anything that is not a number, is the wrong type;
// an integer outside 0..max is the wrong value.
Result<std::uint64_t> read_unsigned(const Scalar& value, std::uint64_t max,
                                    std::string_view expected) {
  switch (value.kind) {
    case Kind::Unsigned:
      if (value.unsigned_value <= max) return value.unsigned_value;
      return fail(invalid_value(describe(value), expected));
    case Kind::Negative:
      return fail(invalid_value(describe(value), expected));
    case Kind::Float:
      if (looks_like_integer(*value.text)) return fail(invalid_value(describe(value), expected));
      return fail(invalid_type(describe(value), expected));
    default:
      return fail(invalid_type(describe(value), expected));
  }
}

// A copy of the text in which every number that a double might not hold is
// replaced by a stand-in of the same length that it does hold: "0" and
// blanks. nlohmann refuses a number beyond a double outright, but such a
// number is well-formed JSON, and only its text matters here. Positions stay
// as they were, so errors still point into the original text.
struct WideNumbers {
  std::string text;
  std::vector<std::pair<std::size_t, std::size_t>> spans;  // [begin, end), in text order
};

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// The end of the JSON number that starts at `at`, or npos when the text there
// is not a complete number (the lexer rejects it then, so it never matters).
std::size_t number_end_from(std::string_view text, std::size_t at, bool& has_exponent) {
  const auto digits = [&] {
    const std::size_t start = at;
    while (at < text.size() && is_digit(text[at])) ++at;
    return at - start;
  };
  if (at < text.size() && text[at] == '-') ++at;
  if (at >= text.size() || !is_digit(text[at])) return std::string_view::npos;
  if (text[at] == '0') {
    ++at;
  } else {
    digits();
  }
  if (at < text.size() && text[at] == '.') {
    ++at;
    if (digits() == 0) return std::string_view::npos;
  }
  has_exponent = at < text.size() && (text[at] == 'e' || text[at] == 'E');
  if (has_exponent) {
    ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    if (digits() == 0) return std::string_view::npos;
  }
  return at;
}

WideNumbers stand_in_wide_numbers(std::string_view text) {
  // Without an exponent, 20 characters stay below 10^21, far inside a double;
  // anything else may not be. Replacing a number that would have fit changes
  // nothing: beyond 64 bits only its text is used.
  constexpr std::size_t ALWAYS_FITS = 20;
  WideNumbers wide{std::string(text), {}};
  std::size_t at = 0;
  while (at < text.size()) {
    const char c = text[at];
    if (c == '"') {
      for (++at; at < text.size() && text[at] != '"'; ++at) {
        if (text[at] == '\\') ++at;
      }
      ++at;
      continue;
    }
    if (c != '-' && !is_digit(c)) {
      ++at;
      continue;
    }
    bool has_exponent = false;
    const std::size_t end = number_end_from(text, at, has_exponent);
    if (end == std::string_view::npos) {
      ++at;
      continue;
    }
    if (has_exponent || end - at > ALWAYS_FITS) {
      wide.text[at] = '0';
      std::fill(wide.text.begin() + static_cast<std::ptrdiff_t>(at) + 1,
                wide.text.begin() + static_cast<std::ptrdiff_t>(end), ' ');
      wide.spans.emplace_back(at, end);
    }
    at = end;
  }
  return wide;
}

// Turns nlohmann's callbacks into four calls on `Derived` (on_open, on_close,
// on_key, on_scalar) and skips, without bothering `Derived`, the insides of
// values it chose to ignore.
template <class Derived>
class SaxHandler : public nlohmann::json_sax<Json> {
 public:
  // `wide`, when given, is what the lexer reads instead of `text`.
  explicit SaxHandler(std::string_view text, const WideNumbers* wide = nullptr)
      : text_(text),
        lexed_(wide != nullptr ? std::string_view(wide->text) : text),
        wide_(wide),
        mark_(lexed_.data()) {}

  bool null() final { return scalar(Scalar{Kind::Null}); }
  bool boolean(bool value) final {
    Scalar s{Kind::Boolean};
    s.boolean = value;
    return scalar(s);
  }
  bool number_integer(number_integer_t value) final {
    if (wide_number_read()) return wide_scalar();
    // nlohmann hands non-negative integers to number_unsigned; -0 lands here
    // and is the integer 0.
    if (value >= 0) return number_unsigned(static_cast<number_unsigned_t>(value));
    Scalar s{Kind::Negative};
    s.negative = value;
    return scalar(s);
  }
  bool number_unsigned(number_unsigned_t value) final {
    if (wide_number_read()) return wide_scalar();
    Scalar s{Kind::Unsigned};
    s.unsigned_value = value;
    return scalar(s);
  }
  bool number_float(number_float_t, const string_t& raw) final {
    if (wide_number_read()) return wide_scalar();
    Scalar s{Kind::Float};
    s.text = &raw;
    return scalar(s);
  }
  bool string(string_t& value) final {
    Scalar s{Kind::String};
    s.text = &value;
    return scalar(s);
  }
  bool binary(binary_t&) final {
    // Only binary formats produce these; the JSON lexer never does.
    return fail_here("unexpected binary value");
  }
  bool start_object(std::size_t) final {
    if (skip_depth_ > 0) {
      ++skip_depth_;
      return true;
    }
    return self().on_open(Kind::Object);
  }
  bool start_array(std::size_t) final {
    if (skip_depth_ > 0) {
      ++skip_depth_;
      return true;
    }
    return self().on_open(Kind::Array);
  }
  bool end_object() final { return close(); }
  bool end_array() final { return close(); }
  bool key(string_t& name) final {
    if (skip_depth_ > 0) return true;
    return self().on_key(name);
  }

  bool parse_error(std::size_t position, const std::string& last_token,
                   const nlohmann::detail::exception& error) final {
    // `position` counts the bytes read, the one that broke the syntax included.
    std::size_t offset = position == 0 ? 0 : position - 1;
    if (error.id == NUMBER_OVERFLOW) {
      number_overflow_ = true;
      offset = number_end(offset);
    }
    // A stand-in is one digit long; the number it stands for ends later.
    if (wide_ != nullptr) {
      for (const auto& [begin, end] : wide_->spans) {
        if (begin == offset) offset = end - 1;
      }
    }
    if (value_done_) {
      error_ = "trailing characters" + position_text(text_, offset);
      return false;
    }
    if (offset < text_.size() && text_[offset] == '\0') {
      // nlohmann takes a NUL byte for the end of the input.
      error_ = "unexpected NUL character" + position_text(text_, offset);
      return false;
    }
    error_ = syntax_detail(error.what(), last_token) + position_text(text_, offset);
    return false;
  }

  // Runs the parser over the whole text; on failure the error text is left in
  // error().
  bool run() {
    if (text_.starts_with("\xEF\xBB\xBF")) {
      // nlohmann would skip a byte order mark, but it is not JSON whitespace.
      error_ = "unexpected byte order mark" + position_text(text_, 0);
      return false;
    }
    const char* begin = lexed_.data();
    const char* end = begin + lexed_.size();
    try {
      if (!Json::sax_parse(TrackedCursor(begin, &mark_), TrackedCursor(end, &mark_), &self())) {
        return false;
      }
    } catch (const std::exception& e) {
      error_ = std::string("JSON decoder failed: ") + e.what();
      return false;
    }
    // A NUL byte ends nlohmann's input early, so whatever follows it was never
    // looked at. No NUL can sit inside a token that parsed.
    if (const std::size_t nul = text_.find('\0'); nul != std::string_view::npos) {
      error_ = "trailing characters" + position_text(text_, nul);
      return false;
    }
    return true;
  }

  std::string& error() { return error_; }

  // The run failed on a number that a double cannot hold.
  bool number_overflow() const { return number_overflow_; }

 protected:
  // Ignores the value whose first event is `kind`, contents included.
  void skip(Kind kind) {
    if (kind == Kind::Object || kind == Kind::Array) skip_depth_ = 1;
  }

  // Called by Derived when its top-level value has been read completely.
  void mark_value_done() { value_done_ = true; }

  // The position of the token just read. After a number, the lexer has looked
  // one byte further; step back over that byte.
  std::string here(bool after_number = false) const {
    const std::size_t consumed = consumed_bytes();
    if (after_number && wide_read_ != 0 && wide_->spans[wide_read_ - 1].first + 2 == consumed) {
      return position_text(text_, wide_->spans[wide_read_ - 1].second - 1);
    }
    const std::size_t offset = consumed == 0 ? 0 : consumed - 1;
    return position_text(text_, after_number ? number_end(offset) : offset);
  }

  bool fail_here(std::string message, bool after_number = false) {
    error_ = std::move(message) + here(after_number);
    return false;
  }

 private:
  // nlohmann's id for a number too large for a double.
  static constexpr int NUMBER_OVERFLOW = 406;

  Derived& self() { return static_cast<Derived&>(*this); }

  std::size_t consumed_bytes() const { return static_cast<std::size_t>(mark_ - lexed_.data()); }

  // Whether the number just lexed is a stand-in: the lexer has read its one
  // digit and the blank after it. Stand-ins are lexed in text order.
  bool wide_number_read() {
    if (wide_ == nullptr) return false;
    const std::size_t consumed = consumed_bytes();
    while (wide_read_ < wide_->spans.size() && wide_->spans[wide_read_].first + 2 < consumed) {
      ++wide_read_;
    }
    if (wide_read_ == wide_->spans.size() || wide_->spans[wide_read_].first + 2 != consumed) {
      return false;
    }
    const auto [begin, end] = wide_->spans[wide_read_++];
    wide_raw_.assign(text_.substr(begin, end - begin));
    return true;
  }

  // The number a stand-in replaced, as nlohmann reports any number that does
  // not fit 64 bits: by its text.
  bool wide_scalar() {
    Scalar s{Kind::Float};
    s.text = &wide_raw_;
    return scalar(s);
  }

  // The lexer reads one byte past a number to find its end; `offset` is that
  // byte, or the last digit when the number ends the text.
  std::size_t number_end(std::size_t offset) const {
    const bool past_number =
        offset < text_.size() && offset > 0 &&
        std::string_view("0123456789+-.eE").find(text_[offset]) == std::string_view::npos;
    return past_number ? offset - 1 : offset;
  }

  bool scalar(const Scalar& value) {
    if (skip_depth_ > 0) return true;
    return self().on_scalar(value);
  }

  bool close() {
    if (skip_depth_ > 0) {
      --skip_depth_;
      return true;
    }
    return self().on_close();
  }

  // nlohmann's message without its own prefix and without the echo of the
  // offending token, which may be long or not even UTF-8.
  static std::string syntax_detail(std::string_view what, const std::string& last_token) {
    if (what.starts_with("[json.exception.")) {
      if (const std::size_t close = what.find("] "); close != std::string_view::npos) {
        what.remove_prefix(close + 2);
      }
    }
    if (what.starts_with("parse error")) {
      if (const std::size_t colon = what.find(": "); colon != std::string_view::npos) {
        what.remove_prefix(colon + 2);
      }
    }
    std::string detail(what);
    const std::string echo = "; last read: '" + last_token + "'";
    if (const std::size_t at = detail.find(echo); at != std::string::npos)
      detail.erase(at, echo.size());
    return sys::utf8_lossy(detail);
  }

  std::string_view text_;   // what errors quote and point into
  std::string_view lexed_;  // what the lexer reads: `text_`, or its copy with stand-ins
  const WideNumbers* wide_;
  const char* mark_;
  std::string error_;
  std::size_t skip_depth_ = 0;
  std::size_t wide_read_ = 0;  // stand-ins lexed so far
  std::string wide_raw_;
  bool value_done_ = false;
  bool number_overflow_ = false;
};

// Runs `Handler` over `text`; if it stopped at a number beyond a double, runs
// a fresh one over the text with stand-ins for such numbers. The first run
// costs nothing extra for the texts that never need the second.
template <class Handler>
auto decode_with(std::string_view text) -> Result<decltype(std::declval<Handler&>().take())> {
  Handler handler(text);
  if (handler.run()) return handler.take();
  if (!handler.number_overflow()) return fail(std::move(handler.error()));
  const WideNumbers wide = stand_in_wide_numbers(text);
  Handler again(text, &wide);
  if (!again.run()) return fail(std::move(again.error()));
  return again.take();
}

// ----------------------------------------------------------------------------
// Requests

using wire::REQUEST_TYPE_NAMES;
constexpr std::size_t START_CORE_INDEX = 2;
static_assert(
    std::is_same_v<std::variant_alternative_t<START_CORE_INDEX, ServiceRunnerRequest>, StartCore>);

enum class LaunchField : std::uint8_t {
  ConfigDir,
  ConfigFile,
  ConfigSha256,
  ControllerHost,
  ControllerPort,
  Ignored,
};

constexpr std::array<std::string_view, 5> LAUNCH_FIELD_NAMES = {
    "config_dir", "config_file", "config_sha256", "controller_host", "controller_port"};

LaunchField launch_field(std::string_view name) {
  for (std::size_t i = 0; i < LAUNCH_FIELD_NAMES.size(); ++i) {
    if (name == LAUNCH_FIELD_NAMES[i]) return static_cast<LaunchField>(i);
  }
  return LaunchField::Ignored;
}

class RequestHandler final : public SaxHandler<RequestHandler> {
 public:
  using SaxHandler::SaxHandler;

  bool on_open(Kind kind) {
    switch (level_) {
      case Level::Top:
        if (kind != Kind::Object)
          return fail_here(invalid_type(describe(Scalar{kind}), "a request object"));
        level_ = Level::Request;
        return true;
      case Level::Request:
        if (member_ == Member::Type) {
          return fail_here(invalid_type(describe(Scalar{kind}), "a request type name"));
        }
        if (member_ == Member::Launch && kind == Kind::Object) {
          level_ = Level::Launch;
          return true;
        }
        if (member_ == Member::Launch)
          defer_launch_error(invalid_type(describe(Scalar{kind}), "a launch object"));
        skip(kind);
        return true;
      case Level::Launch:
        if (field_ != LaunchField::Ignored) {
          defer_launch_error(invalid_type(describe(Scalar{kind}), expected_for(field_)));
        }
        skip(kind);
        return true;
      case Level::Done:
        break;
    }
    return fail_here("unexpected value");
  }

  bool on_close() {
    if (level_ == Level::Launch) {
      level_ = Level::Request;
      if (launch_error_.empty()) {
        for (std::size_t i = 0; i < LAUNCH_FIELD_NAMES.size(); ++i) {
          const auto field = static_cast<LaunchField>(i);
          if (field != LaunchField::ConfigSha256 && !(seen_fields_ & bit(field))) {
            defer_launch_error(missing_field(LAUNCH_FIELD_NAMES[i]));
            break;
          }
        }
      }
      return true;
    }
    level_ = Level::Done;
    mark_value_done();
    if (!variant_) return fail_here(missing_field("type"));
    if (*variant_ != START_CORE_INDEX) return true;
    // The first "launch" is read before any second one, so its own problem
    // comes first.
    if (!launch_error_.empty()) {
      error() = std::move(launch_error_);
      return false;
    }
    if (launch_count_ == 0) return fail_here(missing_field("launch"));
    if (launch_count_ > 1) {
      error() = duplicate_field("launch") + second_launch_at_;
      return false;
    }
    return true;
  }

  bool on_key(std::string& name) {
    if (level_ == Level::Request) {
      if (name == "type") {
        if (variant_) return fail_here(duplicate_field("type"));
        member_ = Member::Type;
      } else if (name == "launch") {
        ++launch_count_;
        member_ = launch_count_ == 1 ? Member::Launch : Member::Ignored;
        if (launch_count_ == 2) second_launch_at_ = here();
      } else {
        member_ = Member::Ignored;
      }
      return true;
    }
    // Inside the first "launch": after its first problem the rest is only
    // checked for well-formedness.
    field_ = launch_error_.empty() ? launch_field(name) : LaunchField::Ignored;
    if (field_ == LaunchField::Ignored) return true;
    if (seen_fields_ & bit(field_)) {
      defer_launch_error(duplicate_field(name));
      field_ = LaunchField::Ignored;
      return true;
    }
    seen_fields_ |= bit(field_);
    return true;
  }

  bool on_scalar(const Scalar& value) {
    switch (level_) {
      case Level::Top:
        return fail_here(invalid_type(describe(value), "a request object"), true);
      case Level::Request:
        if (member_ == Member::Type) return read_type(value);
        if (member_ == Member::Launch)
          defer_launch_error(invalid_type(describe(value), "a launch object"));
        return true;
      case Level::Launch:
        read_launch_field(value);
        return true;
      case Level::Done:
        break;
    }
    return fail_here("unexpected value");
  }

  ServiceRunnerRequest take() {
    switch (*variant_) {
      case 0:
        return Ping{};
      case 1:
        return GetStatus{};
      case START_CORE_INDEX:
        return StartCore{std::move(launch_)};
      default:
        return StopCore{};
    }
  }

 private:
  enum class Level : std::uint8_t { Top, Request, Launch, Done };
  enum class Member : std::uint8_t { Type, Launch, Ignored };

  static std::uint8_t bit(LaunchField field) {
    return static_cast<std::uint8_t>(1U << static_cast<unsigned>(field));
  }

  static std::string_view expected_for(LaunchField field) {
    return field == LaunchField::ControllerPort ? "u16" : "a string";
  }

  bool read_type(const Scalar& value) {
    if (value.kind != Kind::String) {
      return fail_here(invalid_type(describe(value), "a request type name"), true);
    }
    const auto found = std::find(REQUEST_TYPE_NAMES.begin(), REQUEST_TYPE_NAMES.end(), *value.text);
    if (found == REQUEST_TYPE_NAMES.end()) {
      return fail_here(unknown_variant(*value.text, REQUEST_TYPE_NAMES));
    }
    variant_ = static_cast<std::size_t>(found - REQUEST_TYPE_NAMES.begin());
    return true;
  }

  void read_launch_field(const Scalar& value) {
    std::string* target = nullptr;
    switch (field_) {
      case LaunchField::ConfigDir:
        target = &launch_.config_dir;
        break;
      case LaunchField::ConfigFile:
        target = &launch_.config_file;
        break;
      case LaunchField::ConfigSha256:
        target = &launch_.config_sha256;
        break;
      case LaunchField::ControllerHost:
        target = &launch_.controller_host;
        break;
      case LaunchField::ControllerPort: {
        auto port = read_unsigned(value, 0xFFFF, "u16");
        if (!port) {
          defer_launch_error(std::move(port.error()), true);
          return;
        }
        launch_.controller_port = static_cast<std::uint16_t>(*port);
        return;
      }
      case LaunchField::Ignored:
        return;
    }
    if (value.kind != Kind::String) {
      defer_launch_error(invalid_type(describe(value), "a string"), true);
      return;
    }
    target->assign(*value.text);
  }

  // Problems inside "launch" only count once the request turns out to be a
  // start_core, so they wait for the end of the request object.
  void defer_launch_error(std::string message, bool after_number = false) {
    if (launch_error_.empty()) launch_error_ = std::move(message) + here(after_number);
  }

  Level level_ = Level::Top;
  Member member_ = Member::Ignored;
  LaunchField field_ = LaunchField::Ignored;
  std::optional<std::size_t> variant_;
  std::size_t launch_count_ = 0;
  std::uint8_t seen_fields_ = 0;
  ServiceRunnerCoreLaunchConfig launch_;
  std::string launch_error_;
  std::string second_launch_at_;
};

// ----------------------------------------------------------------------------
// Responses

using wire::STATUS_NAMES;

enum class ResponseField : std::uint8_t { Ok, Message, Data, ProtocolVersion, Ignored };

constexpr std::array<std::string_view, 4> RESPONSE_FIELD_NAMES = {"ok", "message", "data",
                                                                  "protocol_version"};

class ResponseHandler final : public SaxHandler<ResponseHandler> {
 public:
  using SaxHandler::SaxHandler;

  bool on_open(Kind kind) {
    if (level_ == Level::Top) {
      if (kind != Kind::Object)
        return fail_here(invalid_type(describe(Scalar{kind}), "a response object"));
      level_ = Level::Response;
      return true;
    }
    if (level_ == Level::Response && field_ == ResponseField::Ignored) {
      skip(kind);
      return true;
    }
    if (level_ == Level::Response)
      return fail_here(invalid_type(describe(Scalar{kind}), expected_for(field_)));
    return fail_here("unexpected value");
  }

  bool on_close() {
    level_ = Level::Done;
    mark_value_done();
    if (!(seen_ & bit(ResponseField::Ok))) return fail_here(missing_field("ok"));
    if (!(seen_ & bit(ResponseField::Message))) return fail_here(missing_field("message"));
    return true;
  }

  bool on_key(std::string& name) {
    field_ = ResponseField::Ignored;
    for (std::size_t i = 0; i < RESPONSE_FIELD_NAMES.size(); ++i) {
      if (name == RESPONSE_FIELD_NAMES[i]) field_ = static_cast<ResponseField>(i);
    }
    if (field_ == ResponseField::Ignored) return true;
    if (seen_ & bit(field_)) return fail_here(duplicate_field(name));
    seen_ |= bit(field_);
    return true;
  }

  bool on_scalar(const Scalar& value) {
    if (level_ == Level::Top)
      return fail_here(invalid_type(describe(value), "a response object"), true);
    if (level_ != Level::Response) return fail_here("unexpected value");
    switch (field_) {
      case ResponseField::Ok:
        if (value.kind != Kind::Boolean)
          return fail_here(invalid_type(describe(value), "a boolean"), true);
        response_.ok = value.boolean;
        return true;
      case ResponseField::Message:
        if (value.kind != Kind::String)
          return fail_here(invalid_type(describe(value), "a string"), true);
        response_.message.assign(*value.text);
        return true;
      case ResponseField::Data:
        return read_status(value);
      case ResponseField::ProtocolVersion: {
        auto version = read_unsigned(value, 0xFFFFFFFF, "u32");
        if (!version) return fail_here(std::move(version.error()), true);
        response_.protocol_version = static_cast<std::uint32_t>(*version);
        return true;
      }
      case ResponseField::Ignored:
        return true;
    }
    return true;
  }

  StatusResponse take() { return std::move(response_); }

 private:
  enum class Level : std::uint8_t { Top, Response, Done };

  static std::uint8_t bit(ResponseField field) {
    return static_cast<std::uint8_t>(1U << static_cast<unsigned>(field));
  }

  static std::string_view expected_for(ResponseField field) {
    switch (field) {
      case ResponseField::Ok:
        return "a boolean";
      case ResponseField::Message:
        return "a string";
      case ResponseField::Data:
        return "a status name or null";
      case ResponseField::ProtocolVersion:
        return "u32";
      case ResponseField::Ignored:
        break;
    }
    return "a value";
  }

  bool read_status(const Scalar& value) {
    if (value.kind == Kind::Null) {
      response_.data.reset();
      return true;
    }
    if (value.kind != Kind::String) {
      return fail_here(invalid_type(describe(value), "a status name or null"), true);
    }
    const auto found = std::find(STATUS_NAMES.begin(), STATUS_NAMES.end(), *value.text);
    if (found == STATUS_NAMES.end()) return fail_here(unknown_variant(*value.text, STATUS_NAMES));
    response_.data = static_cast<ServiceRunnerStatus>(found - STATUS_NAMES.begin());
    return true;
  }

  Level level_ = Level::Top;
  ResponseField field_ = ResponseField::Ignored;
  std::uint8_t seen_ = 0;
  StatusResponse response_;
};

}  // namespace

Result<ServiceRunnerRequest> decode_request(std::string_view text) {
  return decode_with<RequestHandler>(text);
}

Result<StatusResponse> decode_response(std::string_view text) {
  return decode_with<ResponseHandler>(text);
}

}  // namespace app_lib::service_ipc
