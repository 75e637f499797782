#include "corvane_omp/delta.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantle::corvane {
namespace {

// Written out here, not taken from the constants, so that a typo in either place fails.
const std::string EMPTY = "<project-context></project-context><live-context></live-context>";
const std::string NESTED = "omp delta contains nested or duplicate context tags";
const std::string MISSING_PROJECT_CLOSE = "omp delta is missing </project-context>";
const std::string MISSING_LIVE_CLOSE = "omp delta is missing </live-context>";
const std::string BAD_START = "omp delta must start with <project-context>";
const std::string NO_LIVE = "omp delta must contain one <live-context> block after project-context";
const std::string TRAILING = "omp delta contains text or duplicate blocks after live-context";

std::string delta(const std::string& project, const std::string& live) {
  return "<project-context>" + project + "</project-context><live-context>" + live + "</live-context>";
}

// An answer of exactly `size` bytes that is otherwise valid.
std::string sized(std::size_t size) {
  const std::string frame = delta("", "");
  return delta(std::string(size - frame.size(), 'p'), "");
}

struct Case {
  std::string name;
  std::string answer;
  std::string message;  // empty: passes
  std::string printed;  // what passes is printed as; empty: the answer itself
};

TEST(ContextDelta, ValidatesEveryRuleInOrder) {
  const std::string nbsp = "\xC2\xA0";
  const std::string ideographic = "\xE3\x80\x80";
  const std::vector<Case> cases = {
      {"empty delta", EMPTY, "", ""},
      {"bodies", delta("proj\nfacts", "live"), "", ""},
      {"surrounding and separating blank space kept inside",
       "\n  " + delta("", "").substr(0, 35) + "\n\n" + delta("", "").substr(35) + "\n", "",
       "<project-context></project-context>\n\n<live-context></live-context>"},
      {"unicode white space trimmed", nbsp + ideographic + EMPTY + "\xE2\x80\xA8" + nbsp, "", EMPTY},
      {"white space between blocks may be unicode",
       "<project-context>a</project-context>" + nbsp + "\x0B<live-context>b</live-context>", "", ""},
      {"exactly the limit", sized(49152), "", ""},
      {"one byte over the limit", sized(49153), "omp delta exceeded 49152 byte limit (49153 bytes)", ""},
      {"size checked before anything else", std::string(60000, '\xFF'),
       "omp delta exceeded 49152 byte limit (60000 bytes)", ""},
      {"invalid byte", delta("a\xFF", ""), "omp delta is not UTF-8: invalid utf-8 sequence of 1 bytes from index 18",
       ""},
      {"cut character", EMPTY + "\xE2\x80", "omp delta is not UTF-8: incomplete utf-8 byte sequence from index 64",
       ""},
      {"encoding checked before the grammar", "junk\xC3",
       "omp delta is not UTF-8: incomplete utf-8 byte sequence from index 4", ""},
      {"empty answer", "", BAD_START, ""},
      {"blank answer", " \n\t", BAD_START, ""},
      {"preamble", "Here it is: " + EMPTY, BAD_START, ""},
      {"capital opening tag", "<PROJECT-CONTEXT></project-context><live-context></live-context>", BAD_START, ""},
      {"byte order mark is not white space", "\xEF\xBB\xBF" + EMPTY, BAD_START, ""},
      {"no project close", "<project-context>never closed", MISSING_PROJECT_CLOSE, ""},
      {"capital project close", "<project-context></PROJECT-CONTEXT><live-context></live-context>",
       MISSING_PROJECT_CLOSE, ""},
      {"second project opening in project body", delta("<project-context>", ""), NESTED, ""},
      {"live closing tag in any case in project body", delta("x </LiVe-CoNtExT> y", ""), NESTED, ""},
      {"project body ends in an unclosed live tag name", delta("x <live-context", ""), NESTED, ""},
      {"nesting checked before the live block", "<project-context><live-context></project-context>", NESTED, ""},
      {"text between blocks", "<project-context></project-context>and<live-context></live-context>", NO_LIVE, ""},
      {"nothing after project block", "<project-context></project-context>", NO_LIVE, ""},
      {"capital live opening", "<project-context></project-context><LIVE-CONTEXT></live-context>", NO_LIVE, ""},
      {"no live close", "<project-context></project-context><live-context>open", MISSING_LIVE_CLOSE, ""},
      {"project tag in live body", delta("", "a<project-context/>b"), NESTED, ""},
      {"self-closed live tag in live body", delta("", "<live-context/>"), NESTED, ""},
      {"second live block", EMPTY + "<live-context></live-context>", TRAILING, ""},
      {"trailing text", EMPTY + " ok", TRAILING, ""},
      {"second project block", EMPTY + "\n<project-context></project-context>", TRAILING, ""},
      {"escaped tags in bodies", delta("&lt;project-context&gt;", "&lt;/live-context&gt;"), "", ""},
      {"longer tag names in bodies", delta("<project-contexts>", "<live-context-note> <live-context:x>"), "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Verdict verdict = judge_context_delta("ep-1", c.answer);
    if (c.message.empty()) {
      EXPECT_EQ(verdict.code, 0);
      EXPECT_EQ(verdict.out, c.printed.empty() ? c.answer : c.printed);
      EXPECT_EQ(text::report_text(verdict.err), "");
    } else {
      EXPECT_EQ(verdict.code, 1);
      EXPECT_EQ(verdict.out, "");
      EXPECT_EQ(text::report_text(verdict.err), "CORVANE_FAIL:ep-1: " + c.message + "\n");
    }
  }
}

TEST(ContextDelta, EmptyDeltaIsSixtyFourBytesAndPassesUnchanged) {
  EXPECT_EQ(EMPTY_CONTEXT_DELTA, EMPTY);
  EXPECT_EQ(EMPTY_CONTEXT_DELTA.size(), 64u);
  const Verdict verdict = judge_context_delta("", EMPTY_CONTEXT_DELTA);
  EXPECT_EQ(verdict.code, 0);
  EXPECT_EQ(verdict.out, EMPTY);
}

TEST(ContextDelta, FailureLineCarriesTheEndpointIdEvenWhenEmpty) {
  EXPECT_EQ(text::report_text(corvane_fail_line("", "m")), "CORVANE_FAIL:: m\n");
  EXPECT_EQ(text::report_text(corvane_fail_line("a b", "x: y")), "CORVANE_FAIL:a b: x: y\n");
}

TEST(ContextTag, FoldsAsciiCaseAndNeedsADelimiterOrTheEnd) {
  struct TagCase {
    std::string body;
    bool tag;
  };
  const std::vector<TagCase> cases = {
      {"", false},
      {"plain text", false},
      {"<project-context>", true},
      {"</project-context>", true},
      {"<live-context>", true},
      {"</live-context>", true},
      {"<Project-Context>", true},
      {"<LIVE-context attr=1>", true},
      {"<project-context/>", true},
      {"<live-context\t>", true},
      {"<live-context\n", true},
      {"<live-context\r", true},
      {"<live-context ", true},
      {"x <project-context", true},
      {"x </live-context", true},
      {"<live-context\f>", false},
      {"<live-context\v>", false},
      {"<live-context:x>", false},
      {"<live-contexts>", false},
      {"<project-context-note>", false},
      {"< live-context>", false},
      {"<//live-context>", false},
      {"&lt;live-context&gt;", false},
      {"<project", false},
      {"<", false},
      {"</", false},
      // Only ASCII letters fold: a capital I with a dot above is not an i.
      {"<l\xC4\xB0ve-context>", false},
      {"<<live-context>", true},
      {"a < b and <live-context", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(contains_context_tag(c.body), c.tag) << c.body;
  }
}

}  // namespace
}  // namespace vantle::corvane
