// run: one command per line over a single connection, for lab scripts. The
// whole file is checked before the first line runs, so a typo near the end
// does not leave the board half configured.
#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

#include "commands.h"

namespace kestrelctl {

namespace {

struct ScriptLine {
  int number = 0;
  std::vector<std::string> words;
};

// Splits a line into words at blanks. '...' and "..." quote (a path with
// blanks); inside double quotes a backslash escapes the next character. A '#'
// that starts a word begins a comment.
std::vector<std::string> splitWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == ' ' || c == '\t') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else if (c == '#' && !inWord) {
      break;
    } else if (c == '\'' || c == '"') {
      inWord = true;
      const size_t close = line.find(c, i + 1);
      if (c == '\'') {
        if (close == std::string::npos) throw UsageError("unterminated quote");
        word += line.substr(i + 1, close - i - 1);
        i = close;
      } else {
        size_t j = i + 1;
        for (; j < line.size() && line[j] != '"'; ++j) {
          if (line[j] == '\\' && j + 1 < line.size()) ++j;
          word += line[j];
        }
        if (j >= line.size()) throw UsageError("unterminated quote");
        i = j;
      }
    } else {
      inWord = true;
      word += c;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

std::vector<ScriptLine> readScript(std::istream& in) {
  std::vector<ScriptLine> lines;
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    try {
      ScriptLine line{number, splitWords(text)};
      if (!line.words.empty()) lines.push_back(std::move(line));
    } catch (const UsageError& e) {
      throw ScriptUsageError("line " + std::to_string(number) + ": " + e.what());
    }
  }
  return lines;
}

// Parses one line with the same command tree as the command line, minus run
// and demo. Returns the action, or throws UsageError with the reason.
Action parseLine(const ScriptLine& line) {
  CLI::App app{"", ""};
  app.require_subcommand(1);
  Invocation inv;
  addCommands(app, inv, true);
  const std::string& first = line.words.front();
  if (first == "run" || first == "demo") throw UsageError("'" + first + "' cannot be used inside a run file");
  if (!isCommand(app, first)) throw UsageError("'" + first + "' is not a command; see 'kestrelctl --help'");
  std::vector<std::string> args(line.words.rbegin(), line.words.rend());  // CLI11 takes them reversed
  try {
    app.parse(args);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) throw UsageError("help is not available in a run file");
    throw UsageError(describeParseError(app, e).first);
  }
  if (!inv.action) throw UsageError("not a command");
  return *inv.action;
}

struct Entry {
  int line = 0;
  std::string text;  // the words of the line
  std::optional<Action> action;
  std::string problem;  // why the line does not parse
};

}  // namespace

void addRunCommand(CLI::App& app, Invocation& inv) {
  CLI::App* command = app.add_subcommand(
      "run", "Run a file of commands, one per line, over one connection ('#' comments and blank lines skipped)");
  auto file = positional(command, "FILE", "the command file, or - for standard input");
  auto keepGoing = std::make_shared<bool>(false);
  command->add_flag("--keep-going", *keepGoing,
                    "carry on after a failing line; the exit status is then that of the first failure");
  leaf(inv, command, false, [=] {
    std::vector<ScriptLine> script;
    if (*file == "-") {
      script = readScript(std::cin);
    } else {
      std::ifstream in(*file);
      if (!in) throw UsageError("FILE: cannot read '" + *file + "'");
      script = readScript(in);
    }
    std::vector<Entry> entries;
    for (const ScriptLine& line : script) {
      Entry entry{line.number, {}, std::nullopt, {}};
      for (const std::string& word : line.words) entry.text += (entry.text.empty() ? "" : " ") + word;
      try {
        entry.action = parseLine(line);
      } catch (const UsageError& e) {
        if (!*keepGoing) throw ScriptUsageError("line " + std::to_string(line.number) + ": " + e.what());
        entry.problem = e.what();
      }
      entries.push_back(std::move(entry));
    }
    const bool keep = *keepGoing;
    return [entries = std::move(entries), keep](Context& ctx, Result& r) {
      Context lineContext{ctx.session, ctx.out, true};
      std::vector<int> failed;
      int firstStatus = 0;
      for (const Entry& entry : entries) {
        int status = 0;
        if (entry.action) {
          status = execute(*entry.action, lineContext, entry.line);
        } else {
          ctx.out.failure(entry.text, kExitUsage, entry.problem, Json::object(), entry.line);
          status = kExitUsage;
        }
        if (status == 0) continue;
        failed.push_back(entry.line);
        if (firstStatus == 0) firstStatus = status;
        if (!keep) break;
      }
      r.exitStatus = firstStatus;
      r.data["lines"] = entries.size();
      r.data["failedLines"] = failed;
      if (keep && !failed.empty()) {
        std::string list;
        for (const int n : failed) list += (list.empty() ? "" : ", ") + std::to_string(n);
        ctx.out.error("run: " + std::to_string(failed.size()) + " of " + std::to_string(entries.size()) +
                      " commands failed (line" + (failed.size() > 1 ? "s " : " ") + list + ")");
      }
    };
  });
}

}  // namespace kestrelctl
