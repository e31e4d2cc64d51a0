#include "codexthread.h"

#include <gtest/gtest.h>

#include "activitytesting.h"
#include "agentactivity.h"
#include "snapshot.h"

namespace umbrafold {
namespace {

TEST(CodexThreadTest, LockFileNames) {
  EXPECT_EQ(lockFileThreadId("0e9b292a-9bed-4a1b-b3ae-40cad011f673.lock"),
            "0e9b292a-9bed-4a1b-b3ae-40cad011f673");
  EXPECT_EQ(lockFileThreadId("A3DA3F65-E97E-4635-846F-DEE64CF0C679.lock"),
            "A3DA3F65-E97E-4635-846F-DEE64CF0C679");
  EXPECT_EQ(lockFileThreadId("a3DA3F65-e97E-4635-846f-DEE64CF0C679.lock"),
            "a3DA3F65-e97E-4635-846f-DEE64CF0C679");
  for (const char* name : {
           "0e9b292a-9bed-4a1b-b3ae-40cad011f673.LOCK",
           "0e9b292a-9bed-4a1b-b3ae-40cad011f673.lck",
           "0e9b292a-9bed-4a1b-b3ae-40cad011f673",
           "0e9b292a-9bed-4a1b-b3ae-40cad011f673.lock.tmp",
           "x.0e9b292a-9bed-4a1b-b3ae-40cad011f673.lock",
           "0e9b292a9bed4a1bb3ae40cad011f673.lock",
           "{0e9b292a-9bed-4a1b-b3ae-40cad011f673}.lock",
           "0e9b292a-9bed-4a1b-b3ae-40cad011f67.lock",
           "0e9b292a-9bed-4a1b-b3ae-40cad011f6733.lock",
           "0e9b292g-9bed-4a1b-b3ae-40cad011f673.lock",
           "0e9b292a-9bed-4a1b-b3ae_40cad011f673.lock",
           ".lock",
       }) {
    EXPECT_FALSE(lockFileThreadId(name)) << name;
  }
}

TEST(CodexThreadTest, NoteTable) {
  EXPECT_STREQ(codexNote("commandExecution"), "Using terminal");
  EXPECT_STREQ(codexNote("fileChange"), "Editing files");
  EXPECT_STREQ(codexNote("reasoning"), "Thinking…");
  EXPECT_STREQ(codexNote("webSearch"), "Searching the web");
  EXPECT_STREQ(codexNote("imageView"), "Checking an image");
  EXPECT_STREQ(codexNote("mcpToolCall"), "Using a tool");
  EXPECT_STREQ(codexNote("agentMessage"), "Writing…");
  EXPECT_STREQ(codexNote("Reasoning"), "Working…");
  EXPECT_STREQ(codexNote("userMessage"), "Working…");
  EXPECT_STREQ(codexNote(""), "Working…");
  EXPECT_STREQ(codexNote(nullptr), "Working…");
}

TEST(SnapshotTest, SortsByIdInByteOrderAndKeepsTies) {
  using Kind = WorkingAgent::Kind;
  const auto snapshot = combineScans({{"claude-99-1.0", Kind::claude, "a"},
                                      {"claude-1234-1.0", Kind::claude, "b"},
                                      {"same", Kind::claude, "first"}},
                                     {{"f0000000-0000-4000-8000-000000000000", Kind::codex, "c"},
                                      {"same", Kind::codex, "second"},
                                      {"c0000000-0000-4000-8000-000000000000", Kind::codex, "d"},
                                      {"d0000000-0000-4000-8000-000000000000", Kind::codex, "e"},
                                      {"F0000000-0000-4000-8000-000000000000", Kind::codex, "f"},
                                      {"00000000-0000-4000-8000-000000000000", Kind::codex, "g"}});
  std::vector<std::string> ids;
  for (const auto& agent : snapshot.agents) ids.push_back(agent.id + "/" + agent.note);
  EXPECT_EQ(ids, (std::vector<std::string>{
                     "00000000-0000-4000-8000-000000000000/g",
                     "F0000000-0000-4000-8000-000000000000/f",
                     "c0000000-0000-4000-8000-000000000000/d",
                     "claude-1234-1.0/b",
                     "claude-99-1.0/a",
                     "d0000000-0000-4000-8000-000000000000/e",
                     "f0000000-0000-4000-8000-000000000000/c",
                     "same/first",
                     "same/second",
                 }));
}

TEST(SnapshotTest, Equality) {
  using Kind = WorkingAgent::Kind;
  const WorkingAgent a("a", Kind::claude, "Testing");
  const WorkingAgent b("b", Kind::codex, "Working…");
  EXPECT_EQ(AgentActivity(), AgentActivity(std::vector<WorkingAgent>{}));
  EXPECT_EQ(AgentActivity({a, b}), AgentActivity({a, b}));
  EXPECT_NE(AgentActivity({a, b}), AgentActivity({b, a}));
  EXPECT_NE(AgentActivity({a}), AgentActivity({WorkingAgent("a", Kind::claude, "Design work")}));
  EXPECT_NE(WorkingAgent("a", Kind::claude, "x"), WorkingAgent("a", Kind::codex, "x"));
}

}  // namespace
}  // namespace umbrafold
