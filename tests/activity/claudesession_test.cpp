#include "claudesession.h"

#include <gtest/gtest.h>

#include <string>

#include "processstart.h"

namespace umbrafold {
namespace {

TEST(ClaudeNoteTest, KeywordTable) {
  const struct {
    const char* name;
    const char* note;
  } rows[] = {
      {"latest fixes", "Testing"},        // "latest" contains "test"
      {"Video test", "Video work"},       // earlier rows win...
      {"debug render", "Video work"},     // ...wherever the word stands
      {"DESIGN REVIEW", "Design work"},   // lower-cased first
      {"analysis of logs", "Working…"},   // "analyse" is not in "analysis"
      {"", "Working…"},                   // also an absent or null name
      {"fix the FEIL now", "Debugging"},  //
      {"page Layout", "Design work"},     //
      {"deep research", "Analysis"},      //
      {"ÜBER-TESTING", "Testing"},        // non-ASCII letters lower-case too
      {"V\u0130DEO", "Working…"},         // İ lower-cases to i + U+0307
      {"tes\u0301t", "Working…"},         // an accent splits the keyword
      {"test\u0301", "Testing"},          // a plain substring of the lower-cased name
      {"teste\u0301d", "Testing"},        //
  };
  for (const auto& row : rows) EXPECT_EQ(claudeNote(row.name), row.note) << row.name;
}

TEST(ClaudeSessionTest, DecodesTheFourKeys) {
  const auto session = decodeClaudeSession(
      R"({"pid": 42, "status": "busy", "name": "x", "startedAt": 1.5, "cwd": "/"})");
  ASSERT_TRUE(session);
  EXPECT_EQ(session->pid, 42);
  EXPECT_EQ(session->status, "busy");
  EXPECT_EQ(session->name, "x");
  EXPECT_EQ(session->startedAt, 1.5);

  EXPECT_EQ(decodeClaudeSession(R"({"pid":1,"status":"","startedAt":2})")->name, std::nullopt);
  EXPECT_EQ(decodeClaudeSession(R"({"pid":1,"status":"","startedAt":2,"name":null})")->name,
            std::nullopt);
  EXPECT_EQ(decodeClaudeSession(R"({"pid":5.0,"status":"","startedAt":2})")->pid, 5);
  // Nested values never stand in for the top-level keys; a repeated key
  // keeps its last value.
  const auto nested = decodeClaudeSession(
      R"({"x": {"pid": "no", "name": 3}, "pid": 1, "status": "a", "startedAt": 2, "y": [{"pid": 9}]})");
  ASSERT_TRUE(nested);
  EXPECT_EQ(nested->pid, 1);
  EXPECT_EQ(decodeClaudeSession(R"({"pid":1,"pid":2,"status":"","startedAt":2})")->pid, 2);
  EXPECT_FALSE(decodeClaudeSession(R"({"pid":1,"pid":"2","status":"","startedAt":2})"));
  EXPECT_EQ(decodeClaudeSession(R"({"pid":-2147483648,"status":"","startedAt":2})")->pid,
            -2147483648);
}

TEST(ClaudeSessionTest, RejectsWhatDoesNotDecode) {
  const char* bad[] = {
      "",
      "   ",
      "[]",
      "42",
      R"({"pid": 42, "status": "busy"})",
      R"({"pid": 42, "startedAt": 1})",
      R"({"status": "busy", "startedAt": 1})",
      R"({"pid": "42", "status": "busy", "startedAt": 1})",
      R"({"pid": 4.5, "status": "busy", "startedAt": 1})",
      R"({"pid": 2147483648, "status": "busy", "startedAt": 1})",
      R"({"pid": -2147483649, "status": "busy", "startedAt": 1})",
      R"({"pid": 18446744073709551616, "status": "busy", "startedAt": 1})",
      R"({"pid": null, "status": "busy", "startedAt": 1})",
      R"({"pid": true, "status": "busy", "startedAt": 1})",
      R"({"pid": 42, "status": null, "startedAt": 1})",
      R"({"pid": 42, "status": 1, "startedAt": 1})",
      R"({"pid": 42, "status": "busy", "startedAt": "1"})",
      R"({"pid": 42, "status": "busy", "startedAt": null})",
      R"({"pid": 42, "status": "busy", "startedAt": 1e999})",
      R"({"pid": 42, "status": "busy", "startedAt": 1, "name": 7})",
      R"({"pid": 42, "status": "busy", "startedAt": 1, "name": ["a"]})",
      R"({"pid": 42, "status": "busy", "startedAt": 1} trailing)",
      R"({"pid": 42, "status": "busy", "startedAt": 1,})",
      "{\"pid\": 42, \"status\": \"b\xff\", \"startedAt\": 1}",
      "{\"pid\": 42, \"status\": \"busy\", \"startedAt\": 1, \"name\": \"\xc3\x28\"}",
  };
  for (const char* text : bad) EXPECT_FALSE(decodeClaudeSession(text)) << text;
}

TEST(ClaudeSessionTest, FileNames) {
  EXPECT_EQ(sessionFilePid("1234.json"), 1234);
  EXPECT_EQ(sessionFilePid("0042.json"), 42);
  EXPECT_EQ(sessionFilePid("+42.json"), 42);
  EXPECT_EQ(sessionFilePid("-42.json"), -42);
  EXPECT_EQ(sessionFilePid("0.json"), 0);
  EXPECT_EQ(sessionFilePid("2147483647.json"), 2147483647);
  for (const char* name : {"2147483648.json", "99999999999999999999.json", "42.JSON", "42.tmp.json",
                           "42.json.tmp", "42", ".json", "json", "+.json", "++4.json", "+-4.json",
                           " 42.json", "42 .json", "4a.json", "\xd9\xa4.json"}) {
    EXPECT_FALSE(sessionFilePid(name)) << name;
  }
}

TEST(ClaudeSessionTest, IdsUseTheShortestRoundTripText) {
  const struct {
    double startedAt;
    const char* text;
  } rows[] = {
      {1700000000000, "1700000000000.0"},
      {1700000000000.5, "1700000000000.5"},
      {1700000000123.25, "1700000000123.25"},
      {0.1, "0.1"},
      {900, "900.0"},
      {0, "0.0"},
      {-1500, "-1500.0"},
      {0.0001, "0.0001"},
      {0.00001, "1e-05"},
      {1.5e-7, "1.5e-07"},
      {0x1.0p54, "18014398509481984.0"},
      {0x1.0p54 + 4, "1.8014398509481988e+16"},
      {1e300, "1e+300"},
      {1e16, "10000000000000000.0"},
  };
  for (const auto& row : rows) EXPECT_EQ(formatStartedAt(row.startedAt), row.text);
  EXPECT_EQ(claudeAgentId(42, 1700000000000), "claude-42-1700000000000.0");
}

TEST(ClaudeSessionTest, ProcessMayStartUpToOneSecondAfterTheSession) {
  EXPECT_TRUE(startedWithSession(900, 1));
  EXPECT_FALSE(startedWithSession(900, 2));
  EXPECT_TRUE(startedWithSession(5000, 0));
}

TEST(ProcessStartTest, ReadsTheStartFieldAfterTheCommandName) {
  const std::string stat =
      "77 (a) b) (c d) S 1 77 77 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 123456 1000 50";
  EXPECT_EQ(statStartTicks(stat.data(), stat.size()), 123456u);
  const std::string cut = "77 (x) S 1 77 77 0 -1 4194560";
  EXPECT_FALSE(statStartTicks(cut.data(), cut.size()));
  EXPECT_FALSE(statStartTicks("garbage", 7));

  ProcessStartTimes processes;
  const auto self = processes.startSeconds(::getpid());
  ASSERT_TRUE(self);
  EXPECT_LE(*self, std::time(nullptr));
  EXPECT_GT(*self, std::time(nullptr) - 24 * 3600 * 365);
  EXPECT_FALSE(processes.startSeconds(0));
  EXPECT_FALSE(processes.startSeconds(-1));
}

}  // namespace
}  // namespace umbrafold
