// The reference documentation (docs/reference.md) and the manual page (docs/vantle.1) held to the
// binary: their usage texts equal what it prints, their exit-code tables list exactly the codes it
// ends with, and each line a run prints on stderr is in the documented table with that run's code.
//
// The documents mark what is checked: `<!-- usage: NAME -->` before a ```text block,
// `<!-- exit-codes -->` before the `| subcommand | code | meaning |` table and
// `<!-- stderr: NAME -->` before a `| line | exit code |` table in reference.md; `.\" usage: NAME`
// before a .nf block and `.\" exit-codes` before the EXIT STATUS list in vantle.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/system.h"
#include "support/cli.h"
#include "support/fake_agent.h"
#include "support/temp_dir.h"

namespace vantle::testing {
namespace {

namespace stdfs = std::filesystem;

std::string source_text(std::string_view relative) {
  return read_file(path_from_utf8(VANTLE_SOURCE_DIR) / path_from_utf8(relative));
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string trim_blanks(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return std::string(s);
}

// The cells of a Markdown table row; `\|` is a bar inside a cell.
std::vector<std::string> table_cells(const std::string& row) {
  std::vector<std::string> cells;
  std::string cell;
  for (std::size_t i = 1; i < row.size(); ++i) {
    if (row[i] == '\\' && i + 1 < row.size() && row[i + 1] == '|') {
      cell.push_back('|');
      ++i;
    } else if (row[i] == '|') {
      cells.push_back(trim_blanks(cell));
      cell.clear();
    } else {
      cell.push_back(row[i]);
    }
  }
  return cells;
}

// The text of a cell that is one code span, `x` or ``x`` (one blank inside each end of the double
// form is dropped, as Markdown does); empty when it is not one.
std::string code_span(const std::string& cell) {
  if (cell.size() >= 4 && cell.starts_with("``") && cell.ends_with("``")) {
    std::string inner = cell.substr(2, cell.size() - 4);
    if (inner.size() >= 2 && inner.front() == ' ' && inner.back() == ' ') inner = inner.substr(1, inner.size() - 2);
    return inner;
  }
  if (cell.size() >= 2 && cell.front() == '`' && cell.back() == '`' && cell.find('`', 1) == cell.size() - 1) {
    return cell.substr(1, cell.size() - 2);
  }
  return "";
}

// A documented code: "N", or a range "N-M".
struct CodeRange {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  bool contains(std::uint32_t code) const { return low <= code && code <= high; }
  friend auto operator<=>(const CodeRange&, const CodeRange&) = default;
  friend void PrintTo(const CodeRange& r, std::ostream* os) {
    *os << r.low;
    if (r.high != r.low) *os << "-" << r.high;
  }
};

std::optional<CodeRange> parse_code(const std::string& text) {
  auto number = [](std::string_view s) -> std::optional<std::uint32_t> {
    if (s.empty() || s.size() > 9 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return std::nullopt;
    }
    return static_cast<std::uint32_t>(std::stoul(std::string(s)));
  };
  const std::size_t dash = text.find('-');
  auto low = number(std::string_view(text).substr(0, dash));
  auto high = dash == std::string::npos ? low : number(std::string_view(text).substr(dash + 1));
  if (!low || !high || *high < *low) return std::nullopt;
  return CodeRange{*low, *high};
}

// Whether a line fits a documented template, where each `{...}` stands for any text.
bool fits(std::string_view line, std::string_view pattern) {
  std::vector<std::string> pieces(1);
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const std::size_t close = pattern[i] == '{' ? pattern.find('}', i) : std::string_view::npos;
    if (close != std::string_view::npos) {
      pieces.emplace_back();
      i = close;
    } else {
      pieces.back().push_back(pattern[i]);
    }
  }
  if (pieces.size() == 1) return line == pieces[0];
  if (!line.starts_with(pieces.front()) || line.size() < pieces.front().size() + pieces.back().size() ||
      !line.ends_with(pieces.back())) {
    return false;
  }
  std::size_t at = pieces.front().size();
  const std::size_t end = line.size() - pieces.back().size();
  for (std::size_t i = 1; i + 1 < pieces.size(); ++i) {
    const std::size_t found = line.substr(0, end).find(pieces[i], at);
    if (found == std::string_view::npos) return false;
    at = found + pieces[i].size();
  }
  return at <= end;
}

// How many characters of a template are its own words rather than placeholders.
std::size_t literal_length(std::string_view pattern) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const std::size_t close = pattern[i] == '{' ? pattern.find('}', i) : std::string_view::npos;
    if (close != std::string_view::npos) {
      i = close;
    } else {
      ++count;
    }
  }
  return count;
}

struct StderrRow {
  std::string pattern;
  std::vector<CodeRange> codes;
};

// What the documents say, by subcommand ("vantle" is the entry point).
struct Documented {
  std::map<std::string, std::string> usage;
  std::map<std::string, std::set<CodeRange>> codes;
  std::map<std::string, std::vector<StderrRow>> stderr_rows;
};

// The rows of the table whose header line follows `at`; a malformed row is a test failure.
std::vector<std::vector<std::string>> table_after(const std::vector<std::string>& lines, std::size_t at,
                                                  const std::string& header, std::size_t columns) {
  std::vector<std::vector<std::string>> rows;
  if (at + 2 >= lines.size() || lines[at + 1] != header || !lines[at + 2].starts_with("|---")) {
    ADD_FAILURE() << "line " << at + 2 << ": expected the header " << header;
    return rows;
  }
  for (std::size_t i = at + 3; i < lines.size() && lines[i].starts_with("|"); ++i) {
    auto cells = table_cells(lines[i]);
    if (cells.size() != columns) {
      ADD_FAILURE() << "line " << i + 1 << ": expected " << columns << " cells: " << lines[i];
      continue;
    }
    rows.push_back(std::move(cells));
  }
  return rows;
}

Documented read_reference() {
  Documented doc;
  const auto lines = split_lines(source_text("docs/reference.md"));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.starts_with("<!-- usage: ") && line.ends_with(" -->")) {
      const std::string name = line.substr(12, line.size() - 16);
      if (i + 1 >= lines.size() || lines[i + 1] != "```text") {
        ADD_FAILURE() << "line " << i + 2 << ": expected a ```text block for the usage of " << name;
        continue;
      }
      std::string text;
      for (std::size_t j = i + 2; j < lines.size() && lines[j] != "```"; ++j) text += lines[j] + "\n";
      doc.usage[name] = text;
    } else if (line == "<!-- exit-codes -->") {
      for (const auto& row : table_after(lines, i, "| subcommand | code | meaning |", 3)) {
        const auto code = parse_code(row[1]);
        EXPECT_TRUE(code) << "not a code: " << row[1];
        EXPECT_FALSE(code_span(row[0]).empty()) << "not a subcommand in backticks: " << row[0];
        if (code) doc.codes[code_span(row[0])].insert(*code);
      }
    } else if (line.starts_with("<!-- stderr: ") && line.ends_with(" -->")) {
      const std::string name = line.substr(13, line.size() - 17);
      for (const auto& row : table_after(lines, i, "| line | exit code |", 2)) {
        StderrRow entry{code_span(row[0]), {}};
        EXPECT_FALSE(entry.pattern.empty()) << "not one code span: " << row[0];
        std::size_t start = 0;
        while (start <= row[1].size()) {
          std::size_t comma = row[1].find(',', start);
          if (comma == std::string::npos) comma = row[1].size();
          const auto code = parse_code(trim_blanks(row[1].substr(start, comma - start)));
          EXPECT_TRUE(code) << "not a code list: " << row[1];
          if (code) entry.codes.push_back(*code);
          start = comma + 1;
        }
        doc.stderr_rows[name].push_back(std::move(entry));
      }
    }
  }
  return doc;
}

// roff's escapes for a minus sign and a backslash, the only ones the checked blocks may use.
std::string unroff(const std::string& line) {
  std::string out;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == '-' || line[i + 1] == 'e')) {
      out.push_back(line[i + 1] == '-' ? '-' : '\\');
      ++i;
    } else {
      out.push_back(line[i]);
    }
  }
  return out;
}

Documented read_manual() {
  Documented doc;
  const auto lines = split_lines(source_text("docs/vantle.1"));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].starts_with(".\\\" usage: ")) {
      const std::string name = lines[i].substr(11);
      if (i + 1 >= lines.size() || lines[i + 1] != ".nf") {
        ADD_FAILURE() << "vantle.1 line " << i + 2 << ": expected .nf for the usage of " << name;
        continue;
      }
      std::string text;
      for (std::size_t j = i + 2; j < lines.size() && lines[j] != ".fi"; ++j) text += unroff(lines[j]) + "\n";
      doc.usage[name] = text;
    } else if (lines[i] == ".\\\" exit-codes") {
      std::string name;
      for (std::size_t j = i + 1; j < lines.size() && !lines[j].starts_with(".SH"); ++j) {
        if (lines[j] == ".TP") continue;
        if (lines[j].starts_with(".B ")) {
          name = lines[j].substr(3);
          continue;
        }
        EXPECT_FALSE(name.empty()) << "vantle.1 line " << j + 1 << ": codes before a .B name";
        const std::string items = unroff(lines[j]) + "; ";
        for (std::size_t start = 0, end; (end = items.find("; ", start)) != std::string::npos; start = end + 2) {
          const std::string item = items.substr(start, end - start);
          const auto code = parse_code(item.substr(0, item.find(' ')));
          EXPECT_TRUE(code) << "vantle.1 line " << j + 1 << ": an item without a code: " << item;
          if (code) doc.codes[name].insert(*code);
        }
      }
    }
  }
  return doc;
}

TEST(Docs, UsageTextsAreWhatTheBinaryPrints) {
  const auto top = Cli({"--help"}).run();
  const auto history = Cli({"history-omp", "--help"}).run();
  const auto digest = Cli({"digest-omp", "-h"}).run();
  const std::map<std::string, std::string> printed = {
      {"vantle", top.err}, {"history-omp", history.out}, {"digest-omp", digest.out}};
  for (const auto& [what, doc] : {std::pair{"reference.md", read_reference()}, {"vantle.1", read_manual()}}) {
    for (const auto& [name, text] : printed) {
      SCOPED_TRACE(std::string(what) + ", usage of " + name);
      ASSERT_TRUE(doc.usage.contains(name));
      EXPECT_EQ(doc.usage.at(name), text);
    }
    EXPECT_EQ(doc.usage.size(), printed.size());
  }
}

TEST(Docs, TheManualListsTheSameExitCodes) {
  const Documented reference = read_reference();
  const Documented manual = read_manual();
  EXPECT_EQ(reference.codes.size(), 6u);
  EXPECT_EQ(manual.codes, reference.codes);
}

// A run of the binary that ends one documented way.
struct Trigger {
  std::string name;  // the documented subcommand, "vantle" for the entry point
  std::vector<std::string> args;
  std::string agent;  // the stand-in's scenario; the agent is installed only when set
  std::string input;
};

class DocumentedRuns : public ::testing::Test {
 protected:
  CliResult run(const Trigger& t, std::size_t index) {
    // A state directory per run: a turn applies the agent path its endpoint's snapshot recorded.
    Cli cli(t.args);
    cli.env("VANTLE_STATE_DIR", display(tmp / ("state-" + std::to_string(index))))
        .env("HOME", display(tmp / "home"))
        .env("USERPROFILE", display(tmp / "home"))
        .env("TEMP", display(tmp / "temp"))
        .env("TMP", display(tmp / "temp"))
        .cwd(tmp.path())
        .input(t.input);
    if (!sys::is_windows()) cli.env("TMPDIR", display(tmp / "temp"));
    if (!t.agent.empty()) {
      const stdfs::path agent = install_fake_agent(tmp / ("agent-" + std::to_string(index)), t.agent);
      cli.env("VANTLE_OMP_BIN", display(agent));
    }
    return cli.run();
  }

  ScopedTempDir tmp;
};

// The line a run reports: the last line on stderr, after dropping a trailing usage text.
std::string reported_line(std::string err, const std::string& usage) {
  if (!usage.empty() && err.ends_with(usage)) err.resize(err.size() - usage.size());
  if (err.ends_with('\n')) err.pop_back();
  const std::size_t last = err.rfind('\n');
  return last == std::string::npos ? err : err.substr(last + 1);
}

TEST_F(DocumentedRuns, EveryCodeAndLineIsDocumented) {
  Documented doc = read_reference();
  write_file(tmp / "temp" / "keep", "");
  write_file(tmp / "mind.md", "You keep the notes.\n");
  write_file(tmp / "blank" / "mind.md", "");
  write_file(tmp / "log.jsonl", R"({"type":"message","message":{"role":"user","content":"hi"}})" "\n");
  const std::string mind = display(tmp / "mind.md");
  const std::string thymel = "thymel-omp --id ep --session-id s --thymel-context-file";
  const std::string delta = "<project-context>Build fixed.</project-context>\\n<live-context>Prefers small commits.</live-context>\\n";

  std::vector<Trigger> triggers = {
      {"vantle", {"--help"}, "", ""},
      {"vantle", {"no-such-subcommand"}, "", ""},
      {"history-omp", {"history-omp", "--help"}, "", ""},
      {"history-omp", {"history-omp"}, "", ""},
      {"history-omp", {"history-omp", "--session", "abc", "--session-dir", display(tmp / "temp")}, "", ""},
      {"history-omp", {"history-omp", "--session", "abc", "--session-dir", ""}, "", ""},
      {"digest-omp", {"digest-omp", "--in", display(tmp / "log.jsonl")}, "", ""},
      {"digest-omp", {"digest-omp", "--in", display(tmp / "missing.jsonl")}, "", ""},
      {"digest-omp", {"digest-omp"}, "", ""},
      {"thymel-omp", {"thymel-omp", "--id", "ep", "--session-id", "s", "--thymel-context-file", mind},
       "stdout noted\\n\n", "remember this"},
      {"thymel-omp", {"thymel-omp", "--id", "ep"}, "", ""},
      {"thymel-omp", {"thymel-omp", "--id", "ep", "--session-id", "s", "--thymel-context-file", mind},
       "stderr something broke\\n\nexit 3\n", "remember this"},
      {"thymel-omp",
       {"thymel-omp", "--id", "ep", "--session-id", "s", "--thymel-context-file", display(tmp / "blank" / "mind.md")},
       "stdout unused\\n\n", "remember this"},
      {"thymel-omp", {"thymel-omp", "--id", "ep", "--session-id", "s", "--thymel-context-file", mind},
       "stderr Error: usage limit reached for this account\\n\nexit 1\n", "remember this"},
      {"corvane-omp", {"corvane-omp", "--id", "ep", "--session-id", "s"}, "stdout " + delta + "\n", "user: hi\n"},
      {"corvane-omp", {"corvane-omp", "--id", "ep", "--session-id", "s"}, "stderr it broke\\n\nexit 4\n", "user: hi\n"},
      {"corvane-omp", {"corvane-omp", "--id", "ep", "--session-id", "s"},
       "stderr 401 Unauthorized: invalid api key\\n\nexit 1\n", "user: hi\n"},
      {"launch-omp", {"launch-omp", "--id", "ep", "--extension", "x"}, "exit 7\n", ""},
      {"launch-omp", {"launch-omp", "--id", "ep", "--extension", "x"}, "version.vanish 1\n", ""},
      {"launch-omp", {"launch-omp", "--extension", "x"}, "", ""},
      {"launch-omp", {"launch-omp", "--id", "ep", "--extension", "x"},
       sys::is_windows() ? "exit 256\n" : "signal 15\n", ""},
  };
  // The daemon's death (93) takes a stand-in daemon; the launch lifetime tests cover it.
  const std::set<std::pair<std::string, std::uint32_t>> covered_elsewhere = {{"launch-omp", 93}};

  std::map<std::string, std::vector<std::uint32_t>> observed;
  for (std::size_t i = 0; i < triggers.size(); ++i) {
    const Trigger& t = triggers[i];
    SCOPED_TRACE(describe_args(t.args));
    const CliResult result = run(t, i);
    ASSERT_EQ(result.status.kind, ExitStatus::Kind::kExited) << exit_status_text(result.status);
    const std::uint32_t code = result.status.code;
    observed[t.name].push_back(code);

    const auto& codes = doc.codes[t.name];
    EXPECT_TRUE(std::any_of(codes.begin(), codes.end(), [&](const CodeRange& r) { return r.contains(code); }))
        << t.name << " ended with " << code << ", which its exit-code table does not list";

    const std::string usage = t.name == "vantle" ? doc.usage["vantle"] : "";
    const std::string line = reported_line(result.err, usage);
    if (line.empty()) continue;
    // The most specific row the line fits (the most words of its own) must list the code; a row
    // that is one placeholder stands for text that is not the tool's (the agent's output).
    const StderrRow* best = nullptr;
    std::size_t best_literal = 0;
    for (const StderrRow& row : doc.stderr_rows[t.name]) {
      if (!fits(line, row.pattern)) continue;
      const std::size_t literal = literal_length(row.pattern);
      if (literal > best_literal) {
        best = &row;
        best_literal = literal;
      }
    }
    ASSERT_NE(best, nullptr) << t.name << " printed a line that its stderr table does not list:\n  " << line;
    EXPECT_TRUE(std::any_of(best->codes.begin(), best->codes.end(), [&](const CodeRange& r) { return r.contains(code); }))
        << t.name << " printed a line whose stderr table row does not list exit code " << code << ":\n  " << line
        << "\n  row: " << best->pattern;
  }

  // Every documented code is one that some run ends with.
  for (const auto& [name, codes] : doc.codes) {
    for (const CodeRange& range : codes) {
      if (range.low == range.high && covered_elsewhere.contains({name, range.low})) continue;
      const auto& seen = observed[name];
      EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [&](std::uint32_t c) { return range.contains(c); }))
          << name << ": no run ended with the documented code " << range.low
          << (range.high != range.low ? "-" + std::to_string(range.high) : "");
    }
  }
}

TEST(Docs, TemplatesMatchLines) {
  struct Case {
    std::string line;
    std::string pattern;
    bool fits;
  };
  const Case cases[] = {
      {"HISTORY_FAIL: session not found: abc", "HISTORY_FAIL: session not found: {id}", true},
      {"HISTORY_FAIL: session not found: ", "HISTORY_FAIL: session not found: {id}", true},
      {"HISTORY_FAIL: no such file", "HISTORY_FAIL: session not found: {id}", false},
      {"a: x: b", "a: {one}: b", true},
      {"a: x: c", "a: {one}: b", false},
      {"a: b", "a: {one}: b", false},
      {"exact", "exact", true},
      {"exact line", "exact", false},
      {"x (os error 5)", "{message} (os error {code})", true},
      {"x (os error 5", "{message} (os error {code})", false},
  };
  for (const auto& c : cases) EXPECT_EQ(fits(c.line, c.pattern), c.fits) << c.line << " ~ " << c.pattern;
}

}  // namespace
}  // namespace vantle::testing
