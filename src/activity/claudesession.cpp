#include "claudesession.h"

#include <QString>
#include <QTextBoundaryFinder>

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

// True when `keyword` occurs in `text` as a whole run of user-perceived
// characters, so "test" is not found inside "tést" written with a combining
// accent on the final letter.
bool containsKeyword(const QString& text, QLatin1String keyword) {
  qsizetype at = text.indexOf(keyword);
  if (at < 0) return false;
  QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
  for (; at >= 0; at = text.indexOf(keyword, at + 1)) {
    graphemes.setPosition(at);
    if (!graphemes.isAtBoundary()) continue;
    graphemes.setPosition(at + keyword.size());
    if (graphemes.isAtBoundary()) return true;
  }
  return false;
}

std::optional<std::int32_t> wholeInt32(const nlohmann::json& value) {
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    const auto n = value.get<std::int64_t>();
    if (n >= kMin && n <= kMax) return static_cast<std::int32_t>(n);
  } else if (value.is_number_unsigned()) {
    const auto n = value.get<std::uint64_t>();
    if (n <= static_cast<std::uint64_t>(kMax)) return static_cast<std::int32_t>(n);
  } else if (value.is_number_float()) {
    const double d = value.get<double>();
    if (std::isfinite(d) && d == std::floor(d) && d >= kMin && d <= kMax) {
      return static_cast<std::int32_t>(d);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<ClaudeSession> decodeClaudeSession(std::string_view bytes) {
  const auto json = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr,
                                          /*allow_exceptions=*/false);
  if (!json.is_object()) return std::nullopt;  // also covers a failed parse

  ClaudeSession session;
  const auto pid = json.find("pid");
  if (pid == json.end()) return std::nullopt;
  const auto pidValue = wholeInt32(*pid);
  if (!pidValue) return std::nullopt;
  session.pid = *pidValue;

  const auto status = json.find("status");
  if (status == json.end() || !status->is_string()) return std::nullopt;
  session.status = status->get_ref<const std::string&>();

  const auto name = json.find("name");
  if (name != json.end() && !name->is_null()) {
    if (!name->is_string()) return std::nullopt;
    session.name = name->get_ref<const std::string&>();
  }

  const auto startedAt = json.find("startedAt");
  if (startedAt == json.end() || !startedAt->is_number()) return std::nullopt;
  session.startedAt = startedAt->get<double>();
  if (!std::isfinite(session.startedAt)) return std::nullopt;
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
      if (keyword != nullptr && containsKeyword(lower, QLatin1String(keyword))) {
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

  std::string out = negative ? "-" : "";
  const int pointAfter = exponent + 1;  // digits before the decimal point
  const int count = static_cast<int>(digits.size());
  if (pointAfter < -3 || std::fabs(value) > 0x1.0p54) {
    out += digits.front();
    if (count > 1) out += "." + digits.substr(1);
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = std::abs(exponent);
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
  } else if (pointAfter <= 0) {
    out += "0." + std::string(static_cast<std::size_t>(-pointAfter), '0') + digits;
  } else if (pointAfter >= count) {
    out += digits + std::string(static_cast<std::size_t>(pointAfter - count), '0') + ".0";
  } else {
    out += digits.substr(0, static_cast<std::size_t>(pointAfter)) + "." +
           digits.substr(static_cast<std::size_t>(pointAfter));
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
