#include "claudesession.h"

#include <QString>

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace umbrafold {

namespace {

struct NoteRow {
  std::array<const char*, 3> keywords;  // unused slots are null
  const char* note;
};

constexpr std::array<NoteRow, 5> kNoteRows{{
    {{"video", "render", nullptr}, "Video work"},
    {{"test", "testing", nullptr}, "Testing"},
    {{"bug", "feil", "debug"}, "Debugging"},
    {{"design", "layout", nullptr}, "Design work"},
    {{"research", "analyse", nullptr}, "Analysis"},
}};

constexpr const char* kDefaultNote = "Working\u2026";

// One top-level value of a session object as the parser reported it.
struct FieldValue {
  enum class Kind { absent, null, boolean, integer, unsignedInteger, floating, string, container };
  Kind kind = Kind::absent;
  std::int64_t integer = 0;
  std::uint64_t unsignedInteger = 0;
  double floating = 0;
  std::string text;
};

// Collects the four keys of a top-level object while parsing, without
// building a document: nested values are only counted through. A repeated
// key keeps its last value, as a parsed document would.
class SessionFields : public nlohmann::json_sax<nlohmann::json> {
 public:
  FieldValue pid, status, name, startedAt;
  bool isObject = false;

  bool null() override { return scalar(FieldValue::Kind::null); }
  bool boolean(bool) override { return scalar(FieldValue::Kind::boolean); }
  bool number_integer(number_integer_t value) override {
    if (FieldValue* field = scalarField()) *field = {FieldValue::Kind::integer, value, 0, 0, {}};
    return depth_ > 0 || fail();
  }
  bool number_unsigned(number_unsigned_t value) override {
    if (FieldValue* field = scalarField()) {
      *field = {FieldValue::Kind::unsignedInteger, 0, value, 0, {}};
    }
    return depth_ > 0 || fail();
  }
  bool number_float(number_float_t value, const string_t&) override {
    if (FieldValue* field = scalarField()) *field = {FieldValue::Kind::floating, 0, 0, value, {}};
    return depth_ > 0 || fail();
  }
  bool string(string_t& value) override {
    if (FieldValue* field = scalarField()) {
      *field = {FieldValue::Kind::string, 0, 0, 0, std::move(value)};
    }
    return depth_ > 0 || fail();
  }
  bool binary(binary_t&) override { return fail(); }
  bool start_object(std::size_t) override {
    if (depth_ == 0) isObject = true;
    return open();
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return depth_ > 0 ? open() : fail(); }
  bool end_array() override { return close(); }
  bool key(string_t& key) override {
    if (depth_ == 1) {
      current_ = key == "pid"         ? &pid
                 : key == "status"    ? &status
                 : key == "name"      ? &name
                 : key == "startedAt" ? &startedAt
                                      : nullptr;
    }
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return fail();
  }

 private:
  // The field a scalar at the current position sets, if any.
  FieldValue* scalarField() const { return depth_ == 1 ? current_ : nullptr; }
  bool scalar(FieldValue::Kind kind) {
    if (FieldValue* field = scalarField()) *field = {kind, 0, 0, 0, {}};
    return depth_ > 0 || fail();
  }
  bool open() {
    if (depth_ == 1 && current_ != nullptr) *current_ = {FieldValue::Kind::container, 0, 0, 0, {}};
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }
  bool fail() {
    isObject = false;
    return false;
  }

  int depth_ = 0;
  FieldValue* current_ = nullptr;
};

std::optional<std::int32_t> wholeInt32(const FieldValue& value) {
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
  switch (value.kind) {
    case FieldValue::Kind::integer:
      if (value.integer >= kMin && value.integer <= kMax) {
        return static_cast<std::int32_t>(value.integer);
      }
      break;
    case FieldValue::Kind::unsignedInteger:
      if (value.unsignedInteger <= static_cast<std::uint64_t>(kMax)) {
        return static_cast<std::int32_t>(value.unsignedInteger);
      }
      break;
    case FieldValue::Kind::floating:
      if (std::isfinite(value.floating) && value.floating == std::floor(value.floating) &&
          value.floating >= kMin && value.floating <= kMax) {
        return static_cast<std::int32_t>(value.floating);
      }
      break;
    default:
      break;
  }
  return std::nullopt;
}

std::optional<double> number(const FieldValue& value) {
  switch (value.kind) {
    case FieldValue::Kind::integer:
      return static_cast<double>(value.integer);
    case FieldValue::Kind::unsignedInteger:
      return static_cast<double>(value.unsignedInteger);
    case FieldValue::Kind::floating:
      return value.floating;
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<ClaudeSession> decodeClaudeSession(std::string_view bytes) {
  SessionFields fields;
  if (!nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &fields) || !fields.isObject) {
    return std::nullopt;
  }
  ClaudeSession session;
  const auto pid = wholeInt32(fields.pid);
  if (!pid) return std::nullopt;
  session.pid = *pid;
  if (fields.status.kind != FieldValue::Kind::string) return std::nullopt;
  session.status = std::move(fields.status.text);
  if (fields.name.kind == FieldValue::Kind::string) {
    session.name = std::move(fields.name.text);
  } else if (fields.name.kind != FieldValue::Kind::absent &&
             fields.name.kind != FieldValue::Kind::null) {
    return std::nullopt;
  }
  const auto startedAt = number(fields.startedAt);
  if (!startedAt || !std::isfinite(*startedAt)) return std::nullopt;
  session.startedAt = *startedAt;
  return session;
}

std::optional<std::int32_t> sessionFilePid(std::string_view fileName) {
  const auto dot = fileName.rfind('.');
  if (dot == std::string_view::npos || fileName.substr(dot + 1) != "json") return std::nullopt;
  std::string_view number = fileName.substr(0, dot);
  bool negative = false;
  if (!number.empty() && (number.front() == '+' || number.front() == '-')) {
    negative = number.front() == '-';
    number.remove_prefix(1);
  }
  if (number.empty()) return std::nullopt;
  std::int64_t value = 0;
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  for (const char c : number) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > kLimit) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

std::string claudeNote(std::string_view name) {
  const QString lower =
      QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())).toLower();
  for (const NoteRow& row : kNoteRows) {
    for (const char* keyword : row.keywords) {
      if (keyword != nullptr && lower.contains(QLatin1String(keyword))) {
        return row.note;
      }
    }
  }
  return kDefaultNote;
}

std::string formatStartedAt(double value) {
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  if (!std::isfinite(value)) return std::isnan(value) ? "nan" : (value < 0 ? "-inf" : "inf");

  // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)dd.
  std::array<char, 64> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                    std::chars_format::scientific);
  const std::string_view text(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));
  const bool negative = text.front() == '-';
  const auto e = text.find('e');
  std::string digits;
  for (const char c : text.substr(negative ? 1 : 0, e - (negative ? 1 : 0))) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;  // value = d.ddd x 10^exponent
  const std::string_view exponentText = text.substr(e + 1);
  std::from_chars(exponentText.data() + (exponentText.front() == '+' ? 1 : 0),
                  exponentText.data() + exponentText.size(), exponent);

  // The result is built by appending pieces to one string: temporaries joined
  // with operator+ make GCC 12 at -O2 and above report a false -Wrestrict
  // overlap inside std::string.
  std::string out;
  if (negative) out += '-';
  const int pointAfter = exponent + 1;  // digits before the decimal point
  const int count = static_cast<int>(digits.size());
  const std::string_view allDigits = digits;
  if (pointAfter < -3 || std::fabs(value) > 0x1.0p54) {
    out += allDigits.front();
    if (count > 1) {
      out += '.';
      out += allDigits.substr(1);
    }
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = std::abs(exponent);
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
  } else if (pointAfter <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-pointAfter), '0');
    out += allDigits;
  } else if (pointAfter >= count) {
    out += allDigits;
    out.append(static_cast<std::size_t>(pointAfter - count), '0');
    out += ".0";
  } else {
    out += allDigits.substr(0, static_cast<std::size_t>(pointAfter));
    out += '.';
    out += allDigits.substr(static_cast<std::size_t>(pointAfter));
  }
  return out;
}

std::string claudeAgentId(std::int32_t pid, double startedAt) {
  return "claude-" + std::to_string(pid) + "-" + formatStartedAt(startedAt);
}

bool startedWithSession(double startedAtMillis, std::int64_t processStartSeconds) {
  return startedAtMillis / 1000.0 + 1.0 >= static_cast<double>(processStartSeconds);
}

}  // namespace umbrafold
